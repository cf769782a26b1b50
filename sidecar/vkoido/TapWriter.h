#pragma once
// The one track writer of a run: converts what the capture delivers to 16 kHz mono, measures
// its peak, appends it to the track file, pads silence up to the clock and cuts the track
// after the machine has slept.
//
// handle() runs on the write queue; everything else on the main thread. `lock` guards every
// field below it and is never held across a file write: the main thread takes it for short
// reads and decisions only, so a slow or frozen disk never stops the ticks. The file itself is
// written by one party at a time under `disco`: the write queue (audio, the padding and the
// header, which padTo() hands it), or the caller itself when no queue was given (tests), or the
// driver at the stop. Silence and audio never interleave within one append, and a converter is
// never swapped in the middle of a conversion. The driver reads and sets the public fields
// holding `lock`; `disco` is always taken before `lock`, never the other way round.
#include <atomic>
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
#include "platform/Despacho.h"

class TapWriter {
  public:
    static constexpr std::int64_t kFramesPorSegundo = 16000;

    // Appends a buffer to the track; answers the error's description when it fails.
    // Runs with `disco` held, without `lock`, and must take neither.
    using Escritura = std::function<std::optional<std::string>(ArchivoDePista&, const BufferPCM&)>;
    static Escritura escrituraPorDefecto();

    TapWriter(std::unique_ptr<ArchivoDePista> file, std::unique_ptr<Conversor> converter,
              FormatoDeAudio outFormat, FormatoDeAudio inFormat, Relojes relojes,
              Escritura escritura = escrituraPorDefecto());
    TapWriter(const TapWriter&) = delete;
    TapWriter& operator=(const TapWriter&) = delete;

    // From now on padTo() hands the disk work to `cola` (the write queue) instead of doing it
    // itself. Before the first padTo(); the queue outlives every use of the writer.
    void usarCola(Cola& cola) { colaDeDisco_ = &cola; }
    // Closes the track (the stop), once the write queue has nothing left for it.
    void cerrar();

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
    std::mutex disco;
    std::int64_t framesWritten = 0;
    // Frames on their way to the file: audio being written, silence decided and not yet written.
    std::int64_t framesEnCamino = 0;
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
    class TrabajoDeDisco final : public Trabajo {
      public:
        explicit TrabajoDeDisco(TapWriter& w) : w_(w) {}
        void ejecutar() override;
        std::atomic<bool> encolado{false};

      private:
        TapWriter& w_;
    };

    bool seCorta(double faltan);
    // The padding decided, the header, a track to close after a cut: queued, or done here.
    void alDiscoLuego();
    void alDisco();

    std::int64_t silencioPendiente_ = 0;   // under `lock`
    std::unique_ptr<BufferPCM> silencio_;  // under `disco`
    Cola* colaDeDisco_ = nullptr;
    TrabajoDeDisco trabajoDeDisco_{*this};
};
