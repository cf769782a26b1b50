#include "LineaDeOrdenes.h"

#include <locale.h>
#include <clocale>
#include <cstdlib>
#include <cstring>

std::optional<double> limiteDeSegundos(int argc, const char* const* argv) {
    for (int i = 0; i < argc; ++i) {
        if (std::strcmp(argv[i], "--seconds") != 0) continue;
        if (i + 1 >= argc) return std::nullopt;
        const char* n = argv[i + 1];
        if (*n == '\0' || std::strchr(" \t\n\v\f\r", *n) != nullptr) return std::nullopt;
        static const locale_t c = newlocale(LC_ALL_MASK, "C", nullptr);
        char* fin = nullptr;
        const double v = strtod_l(n, &fin, c);
        if (fin == n || *fin != '\0') return std::nullopt;
        return v;
    }
    return std::nullopt;
}
