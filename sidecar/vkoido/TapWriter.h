#pragma once
// The one track writer of a run: converts what the capture delivers to 16 kHz mono, measures
// its peak, appends it to the track file, pads silence up to the clock and cuts the track
// after the machine has slept.
//
// handle() runs on the write queue; everything else on the main thread. `lock` guards every
// field below it; handle(), padTo(), reconfigure() and entrega() take it themselves and hold it
// to the end, so silence and audio never interleave and a converter is never swapped in the
// middle of a conversion. The driver reads and sets the public fields holding `lock`.
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "Corte.h"
#include "Eventos.h"
#include "Relojes.h"
#include "platform/Audio.h"

class TapWriter {
  public:
    static constexpr std::int64_t kFramesPorSegundo = 16000;

    // Appends a buffer to the track; answers the error's description when it fails.
    // Runs with `lock` held and must not take it.
    using Escritura = std::function<std::optional<std::string>(ArchivoDePista&, const BufferPCM&)>;
    static Escritura escrituraPorDefecto();

    TapWriter(std::unique_ptr<ArchivoDePista> file, std::unique_ptr<Conversor> converter,
              FormatoDeAudio outFormat, FormatoDeAudio inFormat, Relojes relojes,
              Escritura escritura = escrituraPorDefecto());
    TapWriter(const TapWriter&) = delete;
    TapWriter& operator=(const TapWriter&) = delete;

    // One IO cycle's input buffer list, valid for this call only. Write queue.
    void handle(const AudioBufferList& lista);
    // True when the converter and inFormat were replaced (rate or channel count differ).
    bool reconfigure(const FormatoDeAudio& f);
    // "framesIn", "rate", "padded".
    Linea entrega();
    // Pads silence up to about `segundos` of track, or cuts; refreshes the heartbeat. Shortfalls
    // of `umbral` frames or less are left alone (the ticks' small lags).
    void padTo(double segundos, std::int64_t umbral = kUmbralDeRelleno);
    static constexpr std::int64_t kUmbralDeRelleno = 4000;

    // Output capacity for a buffer list of `frames` at `tasa`: the converted length plus 1024;
    // nothing when that is not a sane frame count (a rate of 0 or not a number).
    static std::optional<std::uint32_t> capacidadDeSalida(std::uint32_t frames, double tasa);

    std::mutex lock;
    std::unique_ptr<ArchivoDePista> file;
    std::unique_ptr<Conversor> converter;
    FormatoDeAudio inFormat;
    const FormatoDeAudio outFormat;
    std::int64_t framesWritten = 0;
    std::int64_t framesPadded = 0;
    std::int64_t ioCalls = 0;
    std::int64_t framesIn = 0;
    float peak = 0;
    const Relojes relojes;
    double latido = 0;
    double dormidaPrevia = 0;
    std::optional<Corte> corte;
    bool corteAvisado = false;
    const Escritura escritura;
    std::optional<std::string> falloDeEscritura;
    bool falloAvisado = false;

  private:
    bool escribir(const BufferPCM& b);
    bool seCorta(double faltan);
};
