// The sink registry: ids for the sinks seen on one connection, the default output, the
// sinks' names and transports, taps (monitors) and aggregate devices (stream configurations).
#include "AudioHardwarePulse.h"

namespace vkpulse {

OSStatus AudioHardwarePulse::AudioObjectGetPropertyString(AudioObjectID objeto,
                                                          const AudioObjectPropertyAddress& dir,
                                                          std::string& destino) {
    if (!ml_) return kAudioHardwareNotRunningError;
    Bloqueo b(ml_.get());
    const auto it = sumideros_.find(objeto);
    if (it == sumideros_.end()) return kAudioHardwareBadObjectError;
    if (dir.mSelector == kAudioDevicePropertyDeviceUID) {
        destino = it->second.nombre;
        return kAudioHardwareNoError;
    }
    if (dir.mSelector == kAudioObjectPropertyName) {
        // The description may have changed since the sink was first seen; a vanished sink
        // keeps the one it had.
        const DatosSumidero d = consultarSumidero(it->second);
        if (d.hallado) it->second.descripcion = d.descripcion;
        destino = it->second.descripcion;
        return kAudioHardwareNoError;
    }
    return kAudioHardwareUnknownPropertyError;
}

// The tap listens to the output the last 'dOut' read named, which is the one the capture
// is being built over.
OSStatus AudioHardwarePulse::AudioHardwareCreateProcessTap(const CATapDescription& desc,
                                                           AudioObjectID* outTapID) {
    if (outTapID == nullptr) return kAudio_ParamError;
    if (!ml_) return kAudioHardwareNotRunningError;
    Bloqueo b(ml_.get());
    if (!conectado_) return kAudioHardwareNotRunningError;
    const auto it = sumideros_.find(ultimoPorDefecto_);
    if (it == sumideros_.end()) return kAudioHardwareBadDeviceError;
    const DatosSumidero d = consultarSumidero(it->second);
    if (!d.hallado || d.monitor.empty() || d.tasa == 0) return kAudioHardwareBadDeviceError;
    Tap tap;
    tap.sumidero = it->first;
    tap.conexion = conexion_;
    tap.uuid = desc.UUID;
    tap.monitor = d.monitor;
    tap.formato.format = PA_SAMPLE_FLOAT32NE;
    tap.formato.channels = kCanalesTap;
    tap.formato.rate = d.tasa;
    const AudioObjectID id = nuevoId();
    taps_.emplace(id, std::move(tap));
    *outTapID = id;
    return kAudioHardwareNoError;
}

OSStatus AudioHardwarePulse::AudioHardwareDestroyProcessTap(AudioObjectID tapID) {
    if (!ml_) return kAudioHardwareNotRunningError;
    Bloqueo b(ml_.get());
    return taps_.erase(tapID) == 1 ? kAudioHardwareNoError : kAudioHardwareBadObjectError;
}

OSStatus AudioHardwarePulse::AudioHardwareCreateAggregateDevice(const nlohmann::json& desc,
                                                                AudioObjectID* outDeviceID) {
    if (outDeviceID == nullptr) return kAudio_ParamError;
    if (!ml_) return kAudioHardwareNotRunningError;
    const auto taps = desc.find("taps");
    if (taps == desc.end() || !taps->is_array() || taps->size() != 1) return kAudio_ParamError;
    const auto uid = taps->at(0).find("uid");
    if (uid == taps->at(0).end() || !uid->is_string()) return kAudio_ParamError;
    Bloqueo b(ml_.get());
    const auto tap = std::find_if(taps_.begin(), taps_.end(),
                                  [&](const auto& t) { return t.second.uuid == uid->get<std::string>(); });
    if (tap == taps_.end()) return kAudioHardwareBadObjectError;
    const AudioObjectID id = nuevoId();
    agregados_.emplace(id, Agregado{tap->first});
    *outDeviceID = id;
    return kAudioHardwareNoError;
}

OSStatus AudioHardwarePulse::AudioHardwareDestroyAggregateDevice(AudioObjectID deviceID) {
    if (!ml_) return kAudioHardwareNotRunningError;
    Bloqueo b(ml_.get());
    for (auto& [id, p] : procs_)
        if (p->agregado() == deviceID) p->stream.reset();
    return agregados_.erase(deviceID) == 1 ? kAudioHardwareNoError : kAudioHardwareBadObjectError;
}

void AudioHardwarePulse::alSaberSumidero(pa_context*, const pa_sink_info* i, int eol, void* p) {
    auto* q = static_cast<Consulta*>(p);
    if (eol == 0 && i != nullptr) {
        q->datos.hallado = true;
        q->datos.indice = i->index;
        q->datos.nombre = i->name ? i->name : "";
        q->datos.descripcion = i->description ? i->description : q->datos.nombre;
        q->datos.monitor = i->monitor_source_name ? i->monitor_source_name : "";
        q->datos.tasa = i->sample_spec.rate;
        q->datos.hardware = (i->flags & PA_SINK_HARDWARE) != 0;
        const char* bus = pa_proplist_gets(i->proplist, PA_PROP_DEVICE_BUS);
        q->datos.bus = bus ? bus : "";
    }
    q->self->ml_->avisar();
}

DatosSumidero AudioHardwarePulse::consultarSumidero(const Sumidero& s) {
    if (!conectado_ || s.conexion != conexion_) return {};
    Consulta q{this, {}};
    if (!esperar(pa_context_get_sink_info_by_index(contexto_.get(), s.indice, &alSaberSumidero, &q)))
        return {};
    return q.datos;
}

DatosSumidero AudioHardwarePulse::consultarSumidero(const std::string& nombre) {
    Consulta q{this, {}};
    if (!esperar(pa_context_get_sink_info_by_name(contexto_.get(), nombre.c_str(), &alSaberSumidero, &q)))
        return {};
    return q.datos;
}

void AudioHardwarePulse::alSaberServidorAhora(pa_context*, const pa_server_info* i, void* p) {
    auto* q = static_cast<ConsultaServidor*>(p);
    q->hecha = i != nullptr;
    if (i && i->default_sink_name) q->porDefecto = i->default_sink_name;
    q->self->ml_->avisar();
}

// The default sink. When the server has none left, the one that was default goes on being
// named, dead: the watch then tries to rebuild on it, fails, and says the capture stopped,
// instead of keeping a capture on a sink that no longer exists without a word.
OSStatus AudioHardwarePulse::salidaPorDefecto(AudioObjectID& id) {
    if (!conectado_) return kAudioHardwareNotRunningError;
    ConsultaServidor q{this, false, {}};
    if (!esperar(pa_context_get_server_info(contexto_.get(), &alSaberServidorAhora, &q)) || !q.hecha)
        return kAudioHardwareNotRunningError;
    if (!q.porDefecto.empty()) {
        const DatosSumidero d = consultarSumidero(q.porDefecto);
        if (d.hallado) ultimoPorDefecto_ = idDeSumidero(d);
    }
    id = ultimoPorDefecto_;
    return kAudioHardwareNoError;
}

AudioObjectID AudioHardwarePulse::idDeSumidero(const DatosSumidero& d) {
    for (auto& [id, s] : sumideros_) {
        if (s.conexion == conexion_ && s.indice == d.indice) {
            s.descripcion = d.descripcion;
            return id;
        }
    }
    const AudioObjectID id = nuevoId();
    sumideros_.emplace(id, Sumidero{conexion_, d.indice, d.nombre, d.descripcion, false});
    return id;
}

OSStatus AudioHardwarePulse::transporte(AudioObjectID objeto, std::uint32_t& tipo) {
    const auto it = sumideros_.find(objeto);
    if (it == sumideros_.end()) return kAudioHardwareBadObjectError;
    const DatosSumidero d = consultarSumidero(it->second);
    if (!d.hallado) return kAudioHardwareBadDeviceError;
    if (!d.hardware) {
        tipo = kAudioDeviceTransportTypeVirtual;
    } else if (d.bus == "usb") {
        tipo = kTransporteUSB;
    } else if (d.bus == "bluetooth") {
        tipo = kTransporteBluetooth;
    } else if (d.bus == "pci") {
        tipo = kTransportePCI;
    } else {
        tipo = kAudioDeviceTransportTypeBuiltIn;
    }
    return kAudioHardwareNoError;
}

}  // namespace vkpulse
