#include "Corrida.h"

#include <algorithm>

#include "DeviceWatch.h"
#include "Eventos.h"
#include "TapWriter.h"

namespace {

// The driver's target already keeps kMargen (0.5 s) for audio late in arriving.
constexpr double kMargen = 0.5;
constexpr double kMargenConCaptura = 1.0;

double enSegundos(std::int64_t frames) {
    return static_cast<double>(frames) / static_cast<double>(TapWriter::kFramesPorSegundo);
}

}  // namespace

void tick(EstadoDeCorrida& e, double objetivo) {
    TapWriter& w = *e.writer;
    // Audio still on its way belongs before the gap: padding over it would put silence in
    // front of it, or count a stall twice. Beyond what the platform knows of, a server starved
    // of CPU (the transcription runs on the same machine) may still hand over audio a second
    // late. Audio known to start later than now (a monitor whose sink rendered ahead before we
    // listened) means nothing before then will ever come: the track is padded up to the clock,
    // and, at the last tick before that audio starts, up to its start, so that it lands where
    // it plays rather than up to a tick early with the difference padded at the end.
    if (e.captura) {
        const double enVuelo = segundosEnVuelo(e.hw, *e.captura);
        const double ahora = objetivo + kMargen;
        if (enVuelo >= 0)
            w.padTo(ahora - kMargenConCaptura - enVuelo);
        else
            w.padTo(-enVuelo < kIntervaloDeTick ? ahora - enVuelo : ahora);
    } else {
        w.padTo(objetivo);
    }

    std::optional<Corte> corte;
    double largo = 0;
    {
        std::lock_guard<std::mutex> g(w.lock);
        if (w.corte && !w.corteAvisado) {
            w.corteAvisado = true;
            corte = w.corte;
            largo = enSegundos(w.framesWritten);
        }
    }
    if (corte) {
        note(formato("hueco de %.0f s con la Mac dormida %.0f s: la pista se corta a los %.1f s sin rellenar",
                     corte->hueco, corte->dormida, largo));
        emit(Linea{{"event", "cut"}, {"gap", corte->hueco}, {"asleep", corte->dormida}, {"seconds", largo}});
    }

    std::optional<std::string> fallo;
    {
        std::lock_guard<std::mutex> g(w.lock);
        if (w.falloDeEscritura && !w.falloAvisado) {
            w.falloAvisado = true;
            fallo = w.falloDeEscritura;
            largo = enSegundos(w.framesWritten);
        }
    }
    if (fallo) {
        note(formato("no se pudo escribir la pista a los %.1f s: ", largo) + *fallo);
        emit(Linea{{"event", "write-failed"}, {"reason", *fallo}, {"seconds", largo}});
    }

    if (e.captura) revisarFormato(e);

    float pico = 0;
    {
        std::lock_guard<std::mutex> g(w.lock);
        pico = w.peak;
        w.peak = 0;
        largo = enSegundos(w.framesWritten);
    }
    Linea estado{{"level", static_cast<double>(pico)}, {"seconds", largo}};
    estado.update(w.entrega());
    emit(estado);
}

void detener(EstadoDeCorrida& e, const std::string& ruta, double transcurrido) {
    if (e.captura) {
        desarmar(e.hw, *e.captura, e.cola);
        e.captura.reset();
    }
    e.cola.sincronizar();
    // Nothing is on its way any more: the track ends at the time that passed, not short of it
    // by what the server still held when the capture was torn down.
    e.writer->padTo(transcurrido, 0);
    e.cola.sincronizar();
    e.writer->cerrar();
    std::int64_t escritos = 0, llamadas = 0, entrada = 0, rellenos = 0;
    {
        std::lock_guard<std::mutex> g(e.writer->lock);
        escritos = e.writer->framesWritten;
        llamadas = e.writer->ioCalls;
        entrada = e.writer->framesIn;
        rellenos = e.writer->framesPadded;
    }
    const double largo = enSegundos(escritos);
    note(formato("detenido: %.1fs capturados", largo));
    note(formato("diagnóstico: IOProc llamado %lldx · frames de entrada %lld · silencio rellenado %.1fs",
                 static_cast<long long>(llamadas), static_cast<long long>(entrada), enSegundos(rellenos)));
    emit(Linea{{"path", ruta}, {"seconds", largo}});
}
