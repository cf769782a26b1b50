#include "Audio.h"

#include <sndfile.h>
#include <soxr.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <limits>

// ---- formats ----

std::optional<FormatoDeAudio> FormatoDeAudio::desdeDescripcion(const AudioStreamBasicDescription& d) {
    if (d.mFormatID != kAudioFormatLinearPCM) return std::nullopt;
    if (d.mChannelsPerFrame == 0 || d.mChannelsPerFrame > 64) return std::nullopt;
    if ((d.mFormatFlags & kAudioFormatFlagIsBigEndian) != 0) return std::nullopt;
    const bool flotante = (d.mFormatFlags & kAudioFormatFlagIsFloat) != 0;
    if (flotante ? d.mBitsPerChannel != 32 : (d.mBitsPerChannel != 16 && d.mBitsPerChannel != 32))
        return std::nullopt;
    if (!flotante && (d.mFormatFlags & kAudioFormatFlagIsSignedInteger) == 0) return std::nullopt;
    const bool separado = (d.mFormatFlags & kAudioFormatFlagIsNonInterleaved) != 0;
    if (separado && d.mChannelsPerFrame > kMaxBuffersPorLista) return std::nullopt;
    const std::uint32_t porMuestra = d.mBitsPerChannel / 8;
    const std::uint32_t porFrame = separado ? porMuestra : porMuestra * d.mChannelsPerFrame;
    if (d.mBytesPerFrame != porFrame || d.mFramesPerPacket != 1 || d.mBytesPerPacket != porFrame)
        return std::nullopt;
    return FormatoDeAudio(d);
}

std::optional<FormatoDeAudio> FormatoDeAudio::estandar(double tasa, std::uint32_t canales) {
    AudioStreamBasicDescription d;
    d.mSampleRate = tasa;
    d.mFormatID = kAudioFormatLinearPCM;
    d.mFormatFlags = kAudioFormatFlagIsFloat | kAudioFormatFlagIsPacked | kAudioFormatFlagIsNonInterleaved;
    d.mBytesPerPacket = 4;
    d.mFramesPerPacket = 1;
    d.mBytesPerFrame = 4;
    d.mChannelsPerFrame = canales;
    d.mBitsPerChannel = 32;
    if (!(tasa > 0) || !std::isfinite(tasa)) return std::nullopt;
    return desdeDescripcion(d);
}

// ---- buffers ----

std::unique_ptr<BufferPCM> BufferPCM::conCapacidad(const FormatoDeAudio& f, std::uint32_t capacidad) {
    if (!f.flotante() || f.entrelazado() || capacidad == 0) return nullptr;
    std::unique_ptr<BufferPCM> b(new BufferPCM(f, capacidad));
    b->almacen_.assign(static_cast<std::size_t>(capacidad) * f.channelCount(), 0.0F);
    for (std::uint32_t c = 0; c < f.channelCount(); ++c)
        b->canales_.push_back(b->almacen_.data() + static_cast<std::size_t>(c) * capacidad);
    return b;
}

std::unique_ptr<BufferPCM> BufferPCM::sinCopia(const FormatoDeAudio& f, const AudioBufferList& lista) {
    const std::uint32_t ch = f.channelCount();
    const std::uint32_t porMuestra = f.bytesPorMuestra();
    const std::uint32_t planos = f.entrelazado() ? 1 : ch;
    const std::uint32_t porPlano = f.entrelazado() ? ch : 1;
    if (lista.mNumberBuffers != planos) return nullptr;
    const std::uint32_t bytes = lista.mBuffers[0].mDataByteSize;
    const std::uint32_t porFrame = porMuestra * porPlano;
    if (bytes % porFrame != 0) return nullptr;
    for (std::uint32_t i = 0; i < planos; ++i) {
        const AudioBuffer& a = lista.mBuffers[i];
        if (a.mNumberChannels != porPlano || a.mDataByteSize != bytes) return nullptr;
        if (bytes > 0 && a.mData == nullptr) return nullptr;
    }
    const std::uint32_t frames = bytes / porFrame;
    std::unique_ptr<BufferPCM> b(new BufferPCM(f, frames));
    b->largo_ = frames;
    for (std::uint32_t i = 0; i < planos; ++i)
        b->datos_.push_back(static_cast<const unsigned char*>(lista.mBuffers[i].mData));
    return b;
}

float BufferPCM::muestra(std::uint32_t canal, std::uint32_t frame) const {
    if (!canales_.empty()) return canales_[canal][frame];
    const std::uint32_t ch = formato_.channelCount();
    const unsigned char* plano = datos_[formato_.entrelazado() ? 0 : canal];
    const std::size_t i = formato_.entrelazado() ? static_cast<std::size_t>(frame) * ch + canal : frame;
    if (formato_.flotante()) {
        float v;
        std::memcpy(&v, plano + i * 4, sizeof v);
        return v;
    }
    if (formato_.bytesPorMuestra() == 2) {
        std::int16_t v;
        std::memcpy(&v, plano + i * 2, sizeof v);
        return static_cast<float>(v) / 32768.0F;
    }
    std::int32_t v;
    std::memcpy(&v, plano + i * 4, sizeof v);
    return static_cast<float>(static_cast<double>(v) / 2147483648.0);
}

// ---- converter ----

std::unique_ptr<Conversor> Conversor::crear(const FormatoDeAudio& desde, const FormatoDeAudio& hacia) {
    const double ti = desde.sampleRate();
    const double to = hacia.sampleRate();
    if (!(ti > 0) || !std::isfinite(ti) || !(to > 0) || !std::isfinite(to)) return nullptr;
    if (hacia.channelCount() != 1 || !hacia.flotante() || hacia.entrelazado()) return nullptr;
    std::unique_ptr<Conversor> c(new Conversor(desde, hacia));
    soxr_error_t err = nullptr;
    const soxr_io_spec_t io = soxr_io_spec(SOXR_FLOAT32_I, SOXR_FLOAT32_I);
    const soxr_quality_spec_t q = soxr_quality_spec(SOXR_HQ, 0);
    c->soxr_ = soxr_create(ti, to, 1, &err, &io, &q, nullptr);
    if (err != nullptr || c->soxr_ == nullptr) return nullptr;
    return c;
}

Conversor::~Conversor() {
    if (soxr_ != nullptr) soxr_delete(soxr_);
}

void Conversor::reiniciar() {
    soxr_clear(soxr_);
}

bool Conversor::convertir(BufferPCM& salida, BloqueDeEntrada entrada, void* contexto, std::string& error) {
    float* out = salida.floatChannelData().empty() ? nullptr : salida.floatChannelData()[0];
    if (out == nullptr) {
        error = "el búfer de salida no es del formato de conversión";
        return false;
    }
    const std::size_t cap = salida.frameCapacity();
    std::size_t largo = 0;
    bool fin = false;
    while (largo < cap && !fin) {
        EstadoDeEntrada estado = EstadoDeEntrada::sinDatosAhora;
        BufferPCM* b = entrada(contexto, &estado);
        std::size_t n = 0;
        const float* in = nullptr;
        if (estado == EstadoDeEntrada::hayDatos && b != nullptr) {
            if (b->format().channelCount() != desde_.channelCount() ||
                b->format().entrelazado() != desde_.entrelazado() ||
                b->format().flotante() != desde_.flotante() ||
                b->format().bytesPorMuestra() != desde_.bytesPorMuestra()) {
                error = "el búfer de entrada no es del formato del conversor";
                return false;
            }
            n = b->frameLength();
            // An empty buffer is nothing for now: handed on, the resampler would take it for the
            // end of the stream (a null input before any audio) and fail on the audio after it.
            if (n == 0) break;
            if (mono_.size() < n) mono_.resize(n);
            const std::uint32_t ch = desde_.channelCount();
            // Average every channel: nothing the other side says is dropped.
            if (const float* f = b->floatEntrelazado(); f != nullptr && ch == 2) {
                for (std::size_t i = 0; i < n; ++i)
                    mono_[i] = static_cast<float>((static_cast<double>(f[2 * i]) + f[2 * i + 1]) / 2);
            } else {
                for (std::uint32_t i = 0; i < n; ++i) {
                    double suma = 0;
                    for (std::uint32_t c = 0; c < ch; ++c)
                        suma += b->muestra(c, i);
                    mono_[i] = static_cast<float>(suma / ch);
                }
            }
            in = mono_.data();
        } else if (estado == EstadoDeEntrada::finDelFlujo) {
            fin = true;  // flush what the resampler holds
        } else {
            break;  // no data now: keep the rest for the next call
        }
        std::size_t hecho = 0;
        do {
            std::size_t idone = 0, odone = 0;
            const soxr_error_t err = soxr_process(soxr_, in == nullptr ? nullptr : in + hecho, n - hecho,
                                                  &idone, out + largo, cap - largo, &odone);
            if (err != nullptr) {
                error = err;
                return false;
            }
            hecho += idone;
            largo += odone;
            if (idone == 0 && odone == 0) break;
        } while ((hecho < n || fin) && largo < cap);
    }
    salida.setFrameLength(static_cast<std::uint32_t>(largo));
    return true;
}

// ---- track file ----

namespace {

int contenedorPara(const std::string& ruta) {
    const auto punto = ruta.find_last_of("./");
    std::string ext;
    if (punto != std::string::npos && ruta[punto] == '.') ext = ruta.substr(punto + 1);
    std::transform(ext.begin(), ext.end(), ext.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    if (ext == "aif" || ext == "aiff") return SF_FORMAT_AIFF;
    if (ext == "caf") return SF_FORMAT_CAF;
    return SF_FORMAT_WAV;
}

}  // namespace

std::unique_ptr<ArchivoDePista> ArchivoDePista::crear(const std::string& ruta, std::string& error) {
    SF_INFO info{};
    info.samplerate = 16000;
    info.channels = 1;
    info.format = contenedorPara(ruta) | SF_FORMAT_PCM_16;
    SNDFILE* sf = sf_open(ruta.c_str(), SFM_WRITE, &info);
    if (sf == nullptr) {
        error = sf_strerror(nullptr);
        return nullptr;
    }
    sf_command(sf, SFC_SET_CLIPPING, nullptr, SF_TRUE);
    return std::unique_ptr<ArchivoDePista>(new ArchivoDePista(sf));
}

ArchivoDePista::~ArchivoDePista() {
    sf_close(sf_);
}

std::optional<std::string> ArchivoDePista::escribir(const BufferPCM& b) {
    if (b.floatChannelData().empty()) return std::string("el búfer no es de 16 kHz mono");
    const auto n = static_cast<sf_count_t>(b.frameLength());
    errno = 0;
    const sf_count_t escritos = sf_write_float(sf_, b.floatChannelData()[0], n);
    if (escritos == n) {
        frames_ += n;
        return std::nullopt;
    }
    const int numero = errno;
    std::string error = sf_error(sf_) != SF_ERR_NO_ERROR ? std::string(sf_strerror(sf_))
                        : numero != 0                    ? std::string(std::strerror(numero))
                                                         : std::string("escritura incompleta en la pista");
    // What a short write left goes: data and header end at the last whole write, which is
    // what the counters (and the lines) say the track holds.
    sf_count_t hasta = frames_;
    sf_command(sf_, SFC_FILE_TRUNCATE, &hasta, sizeof hasta);
    sf_command(sf_, SFC_UPDATE_HEADER_NOW, nullptr, 0);
    return error;
}

void ArchivoDePista::actualizarCabecera() {
    sf_command(sf_, SFC_UPDATE_HEADER_NOW, nullptr, 0);
}
