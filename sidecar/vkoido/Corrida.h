#pragma once
// The driver's state for one run, and the periodic duties of the main loop. Main thread only.
#include <memory>
#include <optional>

#include "Captura.h"
#include "platform/AudioHardware.h"
#include "platform/Despacho.h"

class TapWriter;

struct EstadoDeCorrida {
    AudioHardware& hw;
    std::shared_ptr<TapWriter> writer;
    ColaSerie& cola;
    std::optional<Captura> captura;  // absent after a failed rebuild
    double ultimoIntento = 0;        // continuous-clock seconds of the last rebuild attempt
    bool falloAnunciado = false;     // the failed-rebuild line went out since the last success
};

// The loop runs a tick every kIntervaloDeTick seconds.
inline constexpr double kIntervaloDeTick = 0.25;

// One tick: padding towards `objetivo` seconds of track less what the capture still has on its
// way, the cut and write-failure reports
// (once each per run), the format check while a capture is current, the status line.
void tick(EstadoDeCorrida& e, double objetivo);

// The stop: capture torn down, write queue drained, the track padded up to `transcurrido`
// seconds, closed, notes and the final line.
void detener(EstadoDeCorrida& e, const std::string& ruta, double transcurrido);
