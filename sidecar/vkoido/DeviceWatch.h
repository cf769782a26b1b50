#pragma once
// Follows the default output: the two listeners raise a flag, the watch step (main loop, every
// turn) takes it and rebuilds the capture over the new default output; the format check (every
// tick) has the writer rebuild its converter when the running tap's rate or channels change.
#include <memory>
#include <mutex>

#include "Corrida.h"
#include "platform/AudioHardware.h"
#include "platform/Despacho.h"

class DeviceWatch {
  public:
    // Creates the watch and adds the listeners on 'dOut' then 'dev#' of the system object, both
    // delivered on `principal`. Their statuses are not looked at; they are never removed.
    static std::shared_ptr<DeviceWatch> registrar(AudioHardware& hw, Cola& principal);

    // Reads and clears the flag in one hold of the lock.
    bool tomar();
    void marcar();

  private:
    std::mutex lock;
    bool cambio = false;
};

// `ahora`: seconds on the continuous clock.
void pasoDeVigilancia(EstadoDeCorrida& e, DeviceWatch& watch, double ahora);
void revisarFormato(EstadoDeCorrida& e);
