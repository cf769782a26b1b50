#pragma once
// A decided cut of the track.
struct Corte {
    double hueco = 0;    // the gap that caused it, seconds
    double dormida = 0;  // seconds asleep since the last heartbeat
    bool operator==(const Corte&) const = default;
};
