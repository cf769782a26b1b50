#include "Summary.h"

#include <cstdio>

int run() {
    std::fputs("vkacta: modelo no disponible: todavía no hay modelo\n", stderr);
    return 1;
}
