#include "DeviceWatch.h"

#include "Captura.h"
#include "Eventos.h"
#include "TapWriter.h"

std::shared_ptr<DeviceWatch> DeviceWatch::registrar(AudioHardware& hw, Cola& principal) {
    auto watch = std::make_shared<DeviceWatch>();
    for (const AudioObjectPropertySelector s :
         {kAudioHardwarePropertyDefaultOutputDevice, kAudioHardwarePropertyDevices}) {
        hw.AudioObjectAddPropertyListenerBlock(
            kAudioObjectSystemObject, {s, kAudioObjectPropertyScopeGlobal, kAudioObjectPropertyElementMain},
            principal, [watch](std::uint32_t, const AudioObjectPropertyAddress*) { watch->marcar(); });
    }
    return watch;
}

bool DeviceWatch::tomar() {
    std::lock_guard<std::mutex> g(lock);
    const bool habia = cambio;
    cambio = false;
    return habia;
}

void DeviceWatch::marcar() {
    std::lock_guard<std::mutex> g(lock);
    cambio = true;
}

namespace {

bool sigueViva(AudioHardware& hw, AudioObjectID id) {
    std::uint32_t viva = 0;
    auto tam = static_cast<std::uint32_t>(sizeof viva);
    return hw.AudioObjectGetPropertyData(id,
                                         {kAudioDevicePropertyDeviceIsAlive, kAudioObjectPropertyScopeGlobal,
                                          kAudioObjectPropertyElementMain},
                                         0, nullptr, &tam, &viva) == kAudioHardwareNoError &&
           viva != 0;
}

}  // namespace

void pasoDeVigilancia(EstadoDeCorrida& e, DeviceWatch& watch, double ahora) {
    const bool reintento = !e.captura && ahora - e.ultimoIntento >= 2.0;
    const bool cambio = watch.tomar();
    if (!cambio && !reintento) return;
    const auto salida = salidaPorDefecto(e.hw);
    if (!salida) return;  // a due retry stays due
    if (e.captura && e.captura->salida.id == salida->id && sigueViva(e.hw, salida->id)) return;

    e.ultimoIntento = ahora;
    if (e.captura) {
        desarmar(e.hw, *e.captura, e.cola);
        e.captura.reset();
    }
    const std::string nombre = nombreDeSalida(e.hw, salida->id);
    FalloDeCaptura fallo;
    std::optional<Captura> nueva = armarCaptura(e.hw, *salida, fallo);
    if (nueva) {
        {
            std::lock_guard<std::mutex> g(e.writer->lock);
            e.writer->converter->reiniciar();
        }
        e.writer->reconfigure(nueva->formato);
        nueva = arrancar(e.hw, *nueva, e.writer, e.cola, fallo);
    }
    if (nueva) {
        e.captura = nueva;
        note("la salida cambió a " + nombre + ": tap y agregado rehechos, sigue en el mismo archivo");
        emit(Linea{{"event", "output-changed"},
                   {"output", nombre},
                   {"capturing", true},
                   {"rate", nueva->formato.sampleRate()}});
        e.falloAnunciado = false;
        return;
    }
    note("no se pudo seguir capturando desde " + nombre + ": " + fallo.motivo);
    if (!e.falloAnunciado)
        emit(Linea{
            {"event", "output-changed"}, {"output", nombre}, {"capturing", false}, {"reason", fallo.motivo}});
    e.falloAnunciado = true;
}

void revisarFormato(EstadoDeCorrida& e) {
    if (!e.captura) return;
    const auto f = formatoQueEntrega(e.hw, e.captura->tapID, e.captura->agregadoID);
    if (!f) return;
    if (!e.writer->reconfigure(*f)) return;
    note(formato("la salida cambió a %.0f Hz, %u canales: conversor rehecho", f->sampleRate(),
                 f->channelCount()));
    emit(Linea{{"event", "format-changed"},
               {"rate", f->sampleRate()},
               {"output", nombreDeSalida(e.hw, e.captura->salida.id)}});
}
