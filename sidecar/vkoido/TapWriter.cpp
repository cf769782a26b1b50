#include "TapWriter.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <utility>

namespace {

// More than this many frames in one IO cycle is not audio we can have been sent.
constexpr double kCapacidadMaxima = 1 << 24;

struct EntradaUnica {
    BufferPCM* buffer;
    bool dada;
};

// Offers the cycle's buffer once and never signals the end: what the converter holds back
// stays for the next cycle.
BufferPCM* entradaUnica(void* contexto, Conversor::EstadoDeEntrada* estado) {
    auto* e = static_cast<EntradaUnica*>(contexto);
    if (e->dada) {
        *estado = Conversor::EstadoDeEntrada::sinDatosAhora;
        return nullptr;
    }
    e->dada = true;
    *estado = Conversor::EstadoDeEntrada::hayDatos;
    return e->buffer;
}

}  // namespace

TapWriter::Escritura TapWriter::escrituraPorDefecto() {
    return [](ArchivoDePista& f, const BufferPCM& b) { return f.escribir(b); };
}

TapWriter::TapWriter(std::unique_ptr<ArchivoDePista> file_, std::unique_ptr<Conversor> converter_,
                     FormatoDeAudio outFormat_, FormatoDeAudio inFormat_, Relojes relojes_,
                     Escritura escritura_)
    : file(std::move(file_)),
      converter(std::move(converter_)),
      inFormat(inFormat_),
      outFormat(outFormat_),
      relojes(std::move(relojes_)),
      escritura(std::move(escritura_)) {
    latido = relojes.continuo();
    dormidaPrevia = relojes.dormida();
}

std::optional<std::uint32_t> TapWriter::capacidadDeSalida(std::uint32_t frames, double tasa) {
    const double c = static_cast<double>(frames) * static_cast<double>(kFramesPorSegundo) / tasa;
    if (!(c >= 0) || c > kCapacidadMaxima) return std::nullopt;
    return static_cast<std::uint32_t>(c) + 1024;
}

void TapWriter::handle(const AudioBufferList& lista) {
    const std::lock_guard<std::mutex> d(disco);
    std::unique_ptr<ArchivoDePista> cerrado;  // closed last, with `lock` already released
    std::unique_ptr<BufferPCM> salida;
    ArchivoDePista* f = nullptr;
    std::uint32_t n = 0;
    {
        const std::lock_guard<std::mutex> g(lock);
        if (falloDeEscritura) return;
        if (seCorta(0)) {
            cerrado = std::move(file);
            return;
        }
        auto entrada = BufferPCM::sinCopia(inFormat, lista);
        if (!entrada) return;
        ++ioCalls;
        framesIn += entrada->frameLength();
        const auto capacidad = capacidadDeSalida(entrada->frameLength(), inFormat.sampleRate());
        if (!capacidad) return;
        salida = BufferPCM::conCapacidad(outFormat, *capacidad);
        if (!salida) return;
        EntradaUnica unica{entrada.get(), false};
        std::string error;
        if (!converter->convertir(*salida, entradaUnica, &unica, error)) return;
        n = salida->frameLength();
        if (n == 0) return;
        if (!salida->floatChannelData().empty()) {
            const float* m = salida->floatChannelData()[0];
            float mayor = 0;
            for (std::uint32_t i = 0; i < n; ++i) {
                const float a = std::fabs(m[i]);
                if (a > mayor) mayor = a;  // a NaN never compares greater
            }
            if (mayor > peak) peak = mayor;
        }
        if (!file) return;
        f = file.get();
        framesEnCamino += n;
    }
    auto e = escritura(*f, *salida);
    const std::lock_guard<std::mutex> g(lock);
    framesEnCamino -= n;
    if (e) {
        falloDeEscritura = std::move(*e);
        cerrado = std::move(file);
        return;
    }
    framesWritten += n;
}

bool TapWriter::seCorta(double faltan) {
    if (corte) return true;
    const double transcurrido = relojes.continuo() - latido;
    const double hueco = std::isnan(transcurrido) ? faltan : std::max(faltan, transcurrido);
    const double dormido = relojes.dormida() - dormidaPrevia;
    if (!(dormido >= 1.0) && hueco <= 30.0) return false;
    // The file is closed by whoever writes it (handle(), the disk work), never under `lock`.
    corte = Corte{hueco, dormido};
    return true;
}

bool TapWriter::reconfigure(const FormatoDeAudio& f) {
    std::lock_guard<std::mutex> g(lock);
    if (f.sampleRate() == inFormat.sampleRate() && f.channelCount() == inFormat.channelCount()) return false;
    auto nuevo = Conversor::crear(f, outFormat);
    if (!nuevo) return false;
    converter = std::move(nuevo);
    inFormat = f;
    return true;
}

Linea TapWriter::entrega() {
    std::lock_guard<std::mutex> g(lock);
    Linea e = Linea::object();
    e["framesIn"] = framesIn;
    e["rate"] = inFormat.sampleRate();
    e["padded"] = static_cast<double>(framesPadded) / static_cast<double>(kFramesPorSegundo);
    return e;
}

void TapWriter::padTo(double segundos, std::int64_t umbral) {
    {
        const std::lock_guard<std::mutex> g(lock);
        // A target that is no frame count (not a number, out of range) pads nothing.
        const double objetivo = segundos * static_cast<double>(kFramesPorSegundo);
        std::int64_t faltan = 0;
        if (std::isfinite(objetivo) && objetivo > -9.0e18 && objetivo < 9.0e18)
            faltan = static_cast<std::int64_t>(objetivo) - framesWritten - framesEnCamino;
        if (falloDeEscritura) return;
        if (!seCorta(static_cast<double>(faltan) / static_cast<double>(kFramesPorSegundo))) {
            latido = relojes.continuo();
            dormidaPrevia = relojes.dormida();
            if (faltan > umbral) {
                silencioPendiente_ += faltan;
                framesEnCamino += faltan;
            }
        }
    }
    // At every tick, also without silence: the header follows what has been written, so a
    // killed process still leaves a playable track; after a cut the track is closed.
    alDiscoLuego();
}

void TapWriter::alDiscoLuego() {
    if (colaDeDisco_ == nullptr) {
        alDisco();
    } else if (!trabajoDeDisco_.encolado.exchange(true)) {
        colaDeDisco_->encolar(trabajoDeDisco_);
    }
}

void TapWriter::TrabajoDeDisco::ejecutar() {
    // Cleared first: what is decided while this runs queues it again.
    encolado.store(false);
    w_.alDisco();
}

void TapWriter::alDisco() {
    const std::lock_guard<std::mutex> d(disco);
    std::unique_ptr<ArchivoDePista> cerrado;  // closed last, with `lock` already released
    std::int64_t pendiente = 0;
    ArchivoDePista* f = nullptr;
    {
        const std::lock_guard<std::mutex> g(lock);
        pendiente = silencioPendiente_;
        silencioPendiente_ = 0;
        if (corte || falloDeEscritura || !file) {
            framesEnCamino -= pendiente;
            cerrado = std::move(file);
            return;
        }
        f = file.get();
    }
    if (pendiente > 0) {
        // One silent buffer of at most a second, made once and reused for every chunk.
        if (!silencio_)
            silencio_ = BufferPCM::conCapacidad(outFormat, static_cast<std::uint32_t>(kFramesPorSegundo));
        std::int64_t escritos = 0;
        std::optional<std::string> error;
        while (silencio_ && escritos < pendiente) {
            const auto trozo = std::min<std::int64_t>(pendiente - escritos, kFramesPorSegundo);
            silencio_->setFrameLength(static_cast<std::uint32_t>(trozo));
            error = escritura(*f, *silencio_);
            if (error) break;
            escritos += trozo;
        }
        const std::lock_guard<std::mutex> g(lock);
        framesEnCamino -= pendiente;
        framesWritten += escritos;
        framesPadded += escritos;
        if (error) {
            falloDeEscritura = std::move(*error);
            cerrado = std::move(file);
            return;
        }
    }
    f->actualizarCabecera();
}

void TapWriter::cerrar() {
    const std::lock_guard<std::mutex> d(disco);
    std::unique_ptr<ArchivoDePista> cerrado;
    const std::lock_guard<std::mutex> g(lock);
    cerrado = std::move(file);
}
