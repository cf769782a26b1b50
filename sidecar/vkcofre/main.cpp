#include "Vault.h"

int main(int argc, char** argv) {
    runVault(argc, argv);
    return 0;
}
