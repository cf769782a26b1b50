#pragma once
// The audio format, buffer, converter and track-file layer of vkoido (libsoxr, libsndfile).
// Plain objects with no thread of their own; callers serialise access (the writer's lock).
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "AudioHardware.h"

// A linear PCM format: float32, or signed 16/32-bit integer, native endian, interleaved or not.
class FormatoDeAudio {
  public:
    // Nothing when the description is unusable (not linear PCM, no channels, a sample type we
    // cannot read, sizes that do not agree).
    static std::optional<FormatoDeAudio> desdeDescripcion(const AudioStreamBasicDescription& d);
    // The standard processing format: float32, non-interleaved.
    static std::optional<FormatoDeAudio> estandar(double tasa, std::uint32_t canales);

    double sampleRate() const { return d_.mSampleRate; }
    std::uint32_t channelCount() const { return d_.mChannelsPerFrame; }
    bool entrelazado() const { return (d_.mFormatFlags & kAudioFormatFlagIsNonInterleaved) == 0; }
    bool flotante() const { return (d_.mFormatFlags & kAudioFormatFlagIsFloat) != 0; }
    std::uint32_t bytesPorMuestra() const { return d_.mBitsPerChannel / 8; }
    const AudioStreamBasicDescription& streamDescription() const { return d_; }

  private:
    explicit FormatoDeAudio(const AudioStreamBasicDescription& d) : d_(d) {}
    AudioStreamBasicDescription d_;
};

// A PCM buffer: either owned float storage in the standard format (one plane per channel), or
// a view of a buffer list delivered by the hardware, in the list's own format (never copied).
class BufferPCM {
  public:
    // Owned, silent (all samples 0.0); nothing for a non-standard format or a capacity of 0.
    static std::unique_ptr<BufferPCM> conCapacidad(const FormatoDeAudio& f, std::uint32_t capacidad);
    // A view over `lista`; nothing when the list does not match `f` (buffer count, channels per
    // buffer, sizes that differ or are not whole frames).
    static std::unique_ptr<BufferPCM> sinCopia(const FormatoDeAudio& f, const AudioBufferList& lista);

    const FormatoDeAudio& format() const { return formato_; }
    std::uint32_t frameCapacity() const { return capacidad_; }
    std::uint32_t frameLength() const { return largo_; }
    void setFrameLength(std::uint32_t n) { largo_ = n < capacidad_ ? n : capacidad_; }
    // One pointer per channel for owned float buffers; empty for views.
    const std::vector<float*>& floatChannelData() const { return canales_; }
    // Sample `frame` of channel `canal` as a float in [-1, 1] (views of any sample type).
    float muestra(std::uint32_t canal, std::uint32_t frame) const;
    // The samples of a view of interleaved 32-bit floats (what the sound server delivers), or
    // null for any other layout: the converter's fast path.
    const float* floatEntrelazado() const {
        const bool si = canales_.empty() && datos_.size() == 1 && formato_.flotante() &&
                        formato_.entrelazado() && formato_.bytesPorMuestra() == 4;
        return si ? reinterpret_cast<const float*>(datos_[0]) : nullptr;
    }

  private:
    BufferPCM(const FormatoDeAudio& f, std::uint32_t capacidad) : formato_(f), capacidad_(capacidad) {}
    FormatoDeAudio formato_;
    std::uint32_t capacidad_ = 0;
    std::uint32_t largo_ = 0;
    std::vector<float> almacen_;
    std::vector<float*> canales_;
    std::vector<const unsigned char*> datos_;  // views: one plane, or one per channel
};

// Sample-format conversion, a down-mix that averages all channels, then libsoxr to the output
// rate. Keeps its state between calls; reiniciar() drops what it holds.
class Conversor {
  public:
    // Nothing when the rates are not positive finite numbers, or the output is not standard mono.
    static std::unique_ptr<Conversor> crear(const FormatoDeAudio& desde, const FormatoDeAudio& hacia);
    ~Conversor();
    Conversor(const Conversor&) = delete;
    Conversor& operator=(const Conversor&) = delete;

    enum class EstadoDeEntrada { hayDatos, sinDatosAhora, finDelFlujo };
    // Asked for input while the output has room; gives a buffer with hayDatos, else nothing.
    using BloqueDeEntrada = BufferPCM* (*)(void* contexto, EstadoDeEntrada* estado);

    // Converts into `salida` (appending from frame 0; sets its frameLength). Answers false and
    // fills `error` when the converter fails.
    bool convertir(BufferPCM& salida, BloqueDeEntrada entrada, void* contexto, std::string& error);
    void reiniciar();

    const FormatoDeAudio& desde() const { return desde_; }

  private:
    Conversor(const FormatoDeAudio& desde, const FormatoDeAudio& hacia) : desde_(desde), hacia_(hacia) {}
    FormatoDeAudio desde_;
    FormatoDeAudio hacia_;
    struct soxr* soxr_ = nullptr;
    std::vector<float> mono_;  // down-mixed input, reused between calls
};

// The track file: 16-bit PCM, mono, 16 kHz, container from the extension (.wav; .aif/.aiff;
// .caf; anything else is WAV), clipping on. Closed by its destructor.
class ArchivoDePista {
  public:
    // Nothing and `error` filled when the file cannot be created.
    static std::unique_ptr<ArchivoDePista> crear(const std::string& ruta, std::string& error);
    ~ArchivoDePista();
    ArchivoDePista(const ArchivoDePista&) = delete;
    ArchivoDePista& operator=(const ArchivoDePista&) = delete;

    // Appends channel 0 of a standard float buffer. Answers the error text on failure, after
    // cutting the file back to what it held before this write.
    std::optional<std::string> escribir(const BufferPCM& b);
    // Rewrites the header for what has been written so far, so the file stays playable.
    void actualizarCabecera();

  private:
    explicit ArchivoDePista(struct sf_private_tag* sf) : sf_(sf) {}
    struct sf_private_tag* sf_;
    std::int64_t frames_ = 0;  // frames of whole writes
};
