#include "Relojes.h"

#include <time.h>

#include <cmath>

namespace {

double leer(clockid_t reloj) {
    timespec t{};
    clock_gettime(reloj, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
}

}  // namespace

double segundosContinuos() {
    return leer(CLOCK_BOOTTIME);
}

Relojes Relojes::delSistema() {
    return Relojes{
        [] { return leer(CLOCK_BOOTTIME); },
        [] {
            const double despierto = leer(CLOCK_BOOTTIME);
            const double sinSuspension = leer(CLOCK_MONOTONIC);
            const double d = despierto - sinSuspension;
            return std::isnan(d) || d < 0 ? 0.0 : d;
        },
    };
}
