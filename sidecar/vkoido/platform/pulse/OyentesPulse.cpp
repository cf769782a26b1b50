// The server's events and the capture's listeners on the default output and the device list.
#include "AudioHardwarePulse.h"

namespace vkpulse {

OSStatus AudioHardwarePulse::AudioObjectAddPropertyListenerBlock(AudioObjectID objeto,
                                                                 const AudioObjectPropertyAddress& dir,
                                                                 Cola& cola,
                                                                 AudioObjectPropertyListenerBlock bloque) {
    if (!bloque) return kAudio_ParamError;
    if (objeto != kAudioObjectSystemObject) return kAudioHardwareBadObjectError;
    if (dir.mSelector != kAudioHardwarePropertyDefaultOutputDevice &&
        dir.mSelector != kAudioHardwarePropertyDevices)
        return kAudioHardwareUnknownPropertyError;
    if (!ml_) return kAudioHardwareNotRunningError;
    Bloqueo b(ml_.get());
    oyentes_.push_back(Oyente{dir.mSelector, &cola, std::move(bloque)});
    return kAudioHardwareNoError;
}

// ---- notifications ------------------------------------------------------------------
void AudioHardwarePulse::alSuceder(pa_context*, pa_subscription_event_type_t t, std::uint32_t, void* yo) {
    auto* self = static_cast<AudioHardwarePulse*>(yo);
    const auto instalacion = t & PA_SUBSCRIPTION_EVENT_FACILITY_MASK;
    const auto tipo = t & PA_SUBSCRIPTION_EVENT_TYPE_MASK;
    if (instalacion == PA_SUBSCRIPTION_EVENT_SINK && tipo != PA_SUBSCRIPTION_EVENT_CHANGE) {
        self->avisar(kAudioHardwarePropertyDevices);
    } else if (instalacion == PA_SUBSCRIPTION_EVENT_SERVER) {
        self->vigilarPorDefecto(true);
    }
}

// Asks for the server's default sink; `avisando` tells listeners when it differs from
// the one seen last.
void AudioHardwarePulse::vigilarPorDefecto(bool avisando) {
    avisarDefecto_ = avisando;
    pa_operation* op =
        pa_context_get_server_info(contexto_.get(), &AudioHardwarePulse::alSaberServidor, this);
    if (op == nullptr) return;
    pa_operation_unref(op);
    marcarEnCurso(preguntandoPorDefecto_, true);
}

void AudioHardwarePulse::alSaberServidor(pa_context*, const pa_server_info* i, void* yo) {
    auto* self = static_cast<AudioHardwarePulse*>(yo);
    self->marcarEnCurso(self->preguntandoPorDefecto_, false);
    const std::string nombre = (i && i->default_sink_name) ? i->default_sink_name : "";
    if (nombre == self->porDefectoVisto_) return;
    self->porDefectoVisto_ = nombre;
    if (self->avisarDefecto_) self->avisar(kAudioHardwarePropertyDefaultOutputDevice);
}

void AudioHardwarePulse::avisar(AudioObjectPropertySelector selector) {
    for (const Oyente& o : oyentes_) {
        if (o.selector != selector) continue;
        o.cola->encolar([bloque = o.bloque, selector] {
            const AudioObjectPropertyAddress dir{selector, kAudioObjectPropertyScopeGlobal,
                                                 kAudioObjectPropertyElementMain};
            bloque(1, &dir);
        });
    }
}

}  // namespace vkpulse
