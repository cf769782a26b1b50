#include "Summary.h"

int main(int argc, char** argv) {
    return vkacta::entrada(argc, argv);
}
