// The connection to the sound server: connecting, waiting for answers, and rebuilding a
// dropped connection in the background.
#include "AudioHardwarePulse.h"

namespace vkpulse {

// ---- connection ---------------------------------------------------------------------
// A new context towards the server libpulse finds by itself (PULSE_SERVER, the runtime
// directory). Never spawns a server.
void AudioHardwarePulse::conectar() {
    std::unique_ptr<pa_proplist, BorrarProplist> props(pa_proplist_new());
    const std::string nombre(infoCFBundleName());
    const std::string id(infoCFBundleIdentifier());
    pa_proplist_sets(props.get(), PA_PROP_APPLICATION_NAME, nombre.c_str());
    pa_proplist_sets(props.get(), PA_PROP_APPLICATION_ID, id.c_str());
    contexto_.reset(pa_context_new_with_proplist(ml_->api(), nombre.c_str(), props.get()));
    if (!contexto_) {
        primerIntentoHecho_ = true;
        programarReconexion();
        return;
    }
    pa_context_set_state_callback(contexto_.get(), &AudioHardwarePulse::alCambiarContexto, this);
    pa_context_set_subscribe_callback(contexto_.get(), &AudioHardwarePulse::alSuceder, this);
    if (pa_context_connect(contexto_.get(), nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0) {
        primerIntentoHecho_ = true;
        programarReconexion();
        return;
    }
    marcarEnCurso(conectando_, true);
}

// Keeps the loop from pausing while a question of ours is out: the connection being made, a
// question to the server sent from a callback. Every way out of it comes back here.
void AudioHardwarePulse::marcarEnCurso(bool& enCurso, bool si) {
    if (enCurso == si) return;
    enCurso = si;
    if (si) {
        ml_->preguntada();
    } else {
        ml_->respondida();
    }
}

// A connection gone or dropped answers nothing more.
void AudioHardwarePulse::nadaEnCurso() {
    marcarEnCurso(conectando_, false);
    marcarEnCurso(preguntandoPorDefecto_, false);
}

void AudioHardwarePulse::olvidarContexto() {
    nadaEnCurso();
    contexto_.reset();
}

void AudioHardwarePulse::alCambiarContexto(pa_context* c, void* yo) {
    auto* self = static_cast<AudioHardwarePulse*>(yo);
    switch (pa_context_get_state(c)) {
        case PA_CONTEXT_READY: {
            self->marcarEnCurso(self->conectando_, false);
            const bool reconexion = self->primerIntentoHecho_;
            self->primerIntentoHecho_ = true;
            self->conectado_ = true;
            ++self->conexion_;
            self->porDefectoVisto_.clear();
            self->ultimoPorDefecto_ = kAudioObjectUnknown;
            pa_operation* op = pa_context_subscribe(
                c,
                static_cast<pa_subscription_mask_t>(PA_SUBSCRIPTION_MASK_SINK | PA_SUBSCRIPTION_MASK_SERVER),
                nullptr, nullptr);
            if (op) pa_operation_unref(op);
            self->vigilarPorDefecto(false);
            // Every id of the old connection is dead: the watch must look again.
            if (reconexion) {
                self->avisar(kAudioHardwarePropertyDefaultOutputDevice);
                self->avisar(kAudioHardwarePropertyDevices);
            }
            break;
        }
        case PA_CONTEXT_FAILED:
        case PA_CONTEXT_TERMINATED:
            self->nadaEnCurso();
            self->primerIntentoHecho_ = true;
            if (self->conectado_) {
                self->conectado_ = false;
                self->avisar(kAudioHardwarePropertyDevices);
            }
            if (!self->cerrando_) self->programarReconexion();
            break;
        default:
            break;
    }
    self->ml_->avisar();
}

void AudioHardwarePulse::programarReconexion() {
    pa_mainloop_api* api = ml_->api();
    timeval tv{};
    pa_timeval_add(pa_gettimeofday(&tv), kEsperaReconexion);
    if (reintento_) {
        api->time_restart(reintento_, &tv);
    } else {
        reintento_ = api->time_new(api, &tv, &AudioHardwarePulse::alReintentar, this);
    }
}

void AudioHardwarePulse::alReintentar(pa_mainloop_api* api, pa_time_event* e, const timeval*, void* yo) {
    auto* self = static_cast<AudioHardwarePulse*>(yo);
    api->time_free(e);
    self->reintento_ = nullptr;
    if (self->cerrando_ || self->conectado_) return;
    // Not from inside the old context's own callback: here it can go.
    self->olvidarContexto();
    self->conectar();
}

bool AudioHardwarePulse::esperar(pa_operation* op) {
    if (op == nullptr) return false;
    if (!esperarA([op] { return pa_operation_get_state(op) != PA_OPERATION_RUNNING; }))
        pa_operation_cancel(op);
    const bool hecho = pa_operation_get_state(op) == PA_OPERATION_DONE;
    pa_operation_unref(op);
    return hecho;
}

}  // namespace vkpulse
