#pragma once
// The two clocks of the timeline. Both may be called from any thread and hold no state.
#include <functional>

struct Relojes {
    std::function<double()> continuo;  // seconds; keeps counting while the machine sleeps
    std::function<double()> dormida;   // seconds asleep since boot; never below 0

    // CLOCK_BOOTTIME, and CLOCK_BOOTTIME minus CLOCK_MONOTONIC (which stops in suspend).
    static Relojes delSistema();
};

// Seconds on CLOCK_BOOTTIME: the continuous clock, also used for every elapsed-time check of
// the driver (a wall-clock step must not freeze the ticks or cut the track).
double segundosContinuos();
