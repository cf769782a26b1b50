// The record streams: IOProcs, their cycles, opening and ending a stream, and the audio still
// on its way to the writer.
#include "AudioHardwarePulse.h"

namespace vkpulse {

void Ciclo::ejecutar() {
    proc->correr(*this);
    // Last touch: from here libpulse's thread may refill it, or the IOProc may be freed.
    libre.store(true, std::memory_order_release);
}

OSStatus AudioHardwarePulse::AudioDeviceCreateIOProcIDWithBlock(AudioDeviceIOProcID* outIOProcID,
                                                                AudioObjectID deviceID, Cola& cola,
                                                                AudioDeviceIOBlock bloque) {
    if (outIOProcID == nullptr || !bloque) return kAudio_ParamError;
    if (!ml_) return kAudioHardwareNotRunningError;
    Bloqueo b(ml_.get());
    if (agregados_.find(deviceID) == agregados_.end()) return kAudioHardwareBadDeviceError;
    const AudioDeviceIOProcID id = siguienteProc_++;
    procs_.emplace(id, std::make_unique<IOProcPulse>(deviceID, cola, std::move(bloque)));
    *outIOProcID = id;
    return kAudioHardwareNoError;
}

OSStatus AudioHardwarePulse::AudioDeviceStart(AudioObjectID deviceID, AudioDeviceIOProcID procID) {
    if (!ml_) return kAudioHardwareNotRunningError;
    Bloqueo b(ml_.get());
    const auto p = procs_.find(procID);
    const auto ag = agregados_.find(deviceID);
    if (p == procs_.end() || ag == agregados_.end() || p->second->agregado() != deviceID)
        return kAudioHardwareBadDeviceError;
    const auto tap = taps_.find(ag->second.tap);
    if (tap == taps_.end()) return kAudioHardwareBadObjectError;
    if (!conectado_ || tap->second.conexion != conexion_) return kAudioHardwareNotRunningError;
    if (p->second->stream) return kAudioHardwareNoError;  // already running
    return abrirStream(*p->second, tap->second);
}

OSStatus AudioHardwarePulse::AudioDeviceStop(AudioObjectID, AudioDeviceIOProcID procID) {
    if (!ml_) return kAudioHardwareNotRunningError;
    Bloqueo b(ml_.get());
    const auto p = procs_.find(procID);
    if (p == procs_.end()) return kAudioHardwareBadObjectError;
    // The read callback runs under this lock, so once the stream is gone nothing more is
    // queued for this IOProc.
    p->second->stream.reset();
    p->second->vaciar();
    return kAudioHardwareNoError;
}

OSStatus AudioHardwarePulse::AudioDeviceDestroyIOProcID(AudioObjectID, AudioDeviceIOProcID procID) {
    if (!ml_) return kAudioHardwareNotRunningError;
    Bloqueo b(ml_.get());
    enterrarLibres();
    const auto p = procs_.find(procID);
    if (p == procs_.end()) return kAudioHardwareBadObjectError;
    p->second->stream.reset();
    p->second->vaciar();
    // Cycles still on the queue would run against freed memory: such an IOProc waits in the
    // graveyard until the queue has run them.
    if (p->second->enUso()) cementerio_.push_back(std::move(p->second));
    procs_.erase(p);
    return kAudioHardwareNoError;
}

// ---- the record stream ------------------------------------------------------------
OSStatus AudioHardwarePulse::abrirStream(IOProcPulse& p, Tap& tap) {
    pa_channel_map mapa;
    pa_channel_map_init_stereo(&mapa);
    Stream s(pa_stream_new(contexto_.get(), "grabación de la llamada", &tap.formato, &mapa));
    if (!s) return kAudioHardwareUnspecifiedError;
    pa_buffer_attr attr;
    attr.maxlength = static_cast<std::uint32_t>(-1);
    attr.tlength = static_cast<std::uint32_t>(-1);
    attr.prebuf = static_cast<std::uint32_t>(-1);
    attr.minreq = static_cast<std::uint32_t>(-1);
    attr.fragsize =
        static_cast<std::uint32_t>(pa_usec_to_bytes(kMsDeLatencia * PA_USEC_PER_MSEC, &tap.formato));
    estadoStream_ = PA_STREAM_UNCONNECTED;
    pa_stream_set_state_callback(s.get(), &AudioHardwarePulse::alCambiarStreamAlAbrir, this);
    // DONT_MOVE: when the sink goes the stream ends; the server must never carry it over to
    // another source, the microphone least of all.
    const auto flags = static_cast<pa_stream_flags_t>(PA_STREAM_DONT_MOVE | PA_STREAM_ADJUST_LATENCY);
    if (pa_stream_connect_record(s.get(), tap.monitor.c_str(), &attr, flags) < 0)
        return kAudioHardwareUnspecifiedError;
    esperarA([this] {
        return estadoStream_ == PA_STREAM_READY || estadoStream_ == PA_STREAM_FAILED ||
               estadoStream_ == PA_STREAM_TERMINATED;
    });
    if (estadoStream_ != PA_STREAM_READY) return kAudioHardwareBadDeviceError;
    // What the server really delivers is what the writer is told.
    const pa_sample_spec* real = pa_stream_get_sample_spec(s.get());
    if (real == nullptr || real->format != PA_SAMPLE_FLOAT32NE || real->channels != kCanalesTap)
        return kAudioHardwareUnspecifiedError;
    tap.formato.rate = real->rate;
    p.fijarObjetivo(real->rate);
    p.sumidero = tap.sumidero;
    if (const auto it = sumideros_.find(tap.sumidero); it != sumideros_.end()) it->second.caido = false;
    pa_stream_set_state_callback(s.get(), &AudioHardwarePulse::alCambiarStream, this);
    pa_stream_set_read_callback(s.get(), &AudioHardwarePulse::alLeer, &p);
    p.primeraRespuesta = false;
    p.recibido = false;
    // The first answer tells what the sink rendered before we listened: ask for it at once.
    p.tiempos.reset(pa_stream_update_timing_info(s.get(), nullptr, nullptr));
    p.stream = std::move(s);
    return kAudioHardwareNoError;
}

// Audio captured for this stream that has not reached the block yet: what the server has
// queued for us or is sending (its write index against our read index, in the last timing
// answer), what the source has produced since that answer while running (a stopped or
// starved process finds it all still on its way, not lost), and the IOProc's own cycles.
// A monitor's sink renders ahead of what it plays, and its monitor hands each block over as it
// is rendered: what it had rendered before we listened never reaches us. The stream's first
// answer says how far ahead that was; until it has played, the count is what is left of it,
// below 0 (audio starts that much later than now), unless audio comes meanwhile (the sink
// rendering it again to mix a new player in sooner). Later blocks come to us ahead of their
// playing, and the ahead-by, a sawtooth between 0 and the block's length, is no audio of ours
// in flight. Whatever the server dropped never shows up here either.
double AudioHardwarePulse::enVuelo(IOProcPulse& p) {
    auto n = static_cast<double>(p.framesRetenidos());
    pa_stream* s = p.stream.get();
    if (pa_stream_get_state(s) != PA_STREAM_READY) return n;
    const pa_sample_spec* f = pa_stream_get_sample_spec(s);
    const auto porFrame = static_cast<double>(pa_frame_size(f));
    const auto porUsec = static_cast<double>(f->rate) / 1e6;
    const pa_timing_info* t = pa_stream_get_timing_info(s);
    double edad = kEdadMaximaDeTiempos;
    if (t != nullptr && t->write_index_corrupt == 0 && t->read_index_corrupt == 0) {
        edad = std::min(static_cast<double>(pa_timeval_age(&t->timestamp)) / 1e6, kEdadMaximaDeTiempos);
        if (!p.primeraRespuesta) {
            p.primeraRespuesta = true;
            p.momentoPrimera = t->timestamp;
            p.adelantoPrimera = t->sink_usec;
        }
        // Microseconds of that first lead still to play. Until they have, the source produces
        // nothing for us: audio starts that much later than now.
        const double perdido =
            static_cast<double>(p.adelantoPrimera) - static_cast<double>(pa_timeval_age(&p.momentoPrimera));
        if (perdido > 0 && !p.recibido) {
            n -= perdido * porUsec;
        } else {
            // Produced since the answer, or since the lead ended when it ended after the answer.
            const double produciendo = perdido > 0 ? edad : std::min(edad, -perdido / 1e6);
            double servidor = static_cast<double>(t->write_index - t->read_index) / porFrame;
            servidor += static_cast<double>(t->source_usec + t->transport_usec) * porUsec;
            if (pa_stream_is_suspended(s) == 0) servidor += produciendo * f->rate;
            n += std::max(servidor, 0.0);
        }
    } else {
        const std::size_t legibles = pa_stream_readable_size(s);
        if (legibles != static_cast<std::size_t>(-1)) n += static_cast<double>(legibles) / porFrame;
    }
    // The next reading wants a fresh answer; one question at a time.
    const bool sinPregunta = !p.tiempos || pa_operation_get_state(p.tiempos.get()) != PA_OPERATION_RUNNING;
    if (sinPregunta && edad >= kEdadParaPreguntar)
        p.tiempos.reset(pa_stream_update_timing_info(s, nullptr, nullptr));
    return n;
}

void AudioHardwarePulse::alCambiarStreamAlAbrir(pa_stream* s, void* yo) {
    auto* self = static_cast<AudioHardwarePulse*>(yo);
    self->estadoStream_ = pa_stream_get_state(s);
    self->ml_->avisar();
}

// A running stream that ends on its own: its sink went (DONT_MOVE) or the server dropped
// it. The sink reads as not alive from now on, and the watch is told.
void AudioHardwarePulse::alCambiarStream(pa_stream* s, void* yo) {
    auto* self = static_cast<AudioHardwarePulse*>(yo);
    const pa_stream_state_t e = pa_stream_get_state(s);
    if (e != PA_STREAM_FAILED && e != PA_STREAM_TERMINATED) return;
    for (auto& [id, p] : self->procs_) {
        if (p->stream.get() != s) continue;
        if (const auto it = self->sumideros_.find(p->sumidero); it != self->sumideros_.end())
            it->second.caido = true;
    }
    self->avisar(kAudioHardwarePropertyDevices);
}

// ---- bookkeeping ------------------------------------------------------------------
void AudioHardwarePulse::enterrarLibres() {
    std::erase_if(cementerio_, [](const auto& p) { return !p->enUso(); });
}

}  // namespace vkpulse
