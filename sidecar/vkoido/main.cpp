#include "RunTap.h"

int main(int argc, char** argv) {
    runTap(argc, argv);
    return 0;
}
