#include "Corrida.h"

#include "DeviceWatch.h"
#include "Eventos.h"
#include "TapWriter.h"

namespace {

double enSegundos(std::int64_t frames) {
    return static_cast<double>(frames) / static_cast<double>(TapWriter::kFramesPorSegundo);
}

}  // namespace

void tick(EstadoDeCorrida& e, double objetivo) {
    TapWriter& w = *e.writer;
    w.padTo(objetivo);

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

void detener(EstadoDeCorrida& e, const std::string& ruta) {
    if (e.captura) {
        desarmar(e.hw, *e.captura, e.cola);
        e.captura.reset();
    }
    e.cola.sincronizar();
    std::int64_t escritos = 0, llamadas = 0, entrada = 0, rellenos = 0;
    {
        std::lock_guard<std::mutex> g(e.writer->lock);
        e.writer->file.reset();
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
