// The libpulse backend: construction, teardown, the property reads, and the seam's entry point.
#include "AudioHardwarePulse.h"

namespace vkpulse {

AudioHardwarePulse::AudioHardwarePulse() : ml_(std::make_unique<BucleDePulse>(kRitmo)) {
    // libpulse's thread must never take the process's signals: the run loop waits for them.
    sigset_t todas;
    sigset_t antes;
    sigfillset(&todas);
    pthread_sigmask(SIG_BLOCK, &todas, &antes);
    const bool arrancado = ml_->arrancar("vkoido-pulse");
    pthread_sigmask(SIG_SETMASK, &antes, nullptr);
    if (!arrancado) {
        ml_.reset();
        return;
    }
    Bloqueo b(ml_.get());
    conectar();
    // The first connection is waited for: with no server the default output is simply
    // absent. Later ones happen in the background.
    esperarA([this] { return !contexto_ || conectado_ || primerIntentoHecho_; });
}

AudioHardwarePulse::~AudioHardwarePulse() {
    if (!ml_) return;
    {
        Bloqueo b(ml_.get());
        cerrando_ = true;
        for (auto& [id, p] : procs_)
            p->stream.reset();
        for (auto& p : cementerio_)
            p->stream.reset();
        if (reintento_) ml_->api()->time_free(reintento_);
        reintento_ = nullptr;
        olvidarContexto();
    }
    ml_->parar();
    // An IOProc with cycles still queued is left to the queue rather than freed under it.
    for (auto& [id, p] : procs_)
        if (p->enUso()) (void)p.release();
    for (auto& p : cementerio_)
        if (p->enUso()) (void)p.release();
}

OSStatus AudioHardwarePulse::AudioObjectGetPropertyData(AudioObjectID objeto,
                                                        const AudioObjectPropertyAddress& dir, std::uint32_t,
                                                        const void*, std::uint32_t* ioDataSize,
                                                        void* outData) {
    if (ioDataSize == nullptr || outData == nullptr) return kAudio_ParamError;
    if (!ml_) return kAudioHardwareNotRunningError;
    Bloqueo b(ml_.get());
    switch (dir.mSelector) {
        case kAudioHardwarePropertyDefaultOutputDevice: {
            if (objeto != kAudioObjectSystemObject) return kAudioHardwareUnknownPropertyError;
            AudioObjectID id = kAudioObjectUnknown;
            if (const OSStatus s = salidaPorDefecto(id); s != kAudioHardwareNoError) return s;
            return copiar(id, ioDataSize, outData);
        }
        case kAudioDevicePropertyTransportType: {
            std::uint32_t tipo = 0;
            if (const OSStatus s = transporte(objeto, tipo); s != kAudioHardwareNoError) return s;
            return copiar(tipo, ioDataSize, outData);
        }
        case kAudioDevicePropertyDeviceIsAlive: {
            const auto it = sumideros_.find(objeto);
            if (it == sumideros_.end()) return kAudioHardwareBadObjectError;
            const std::uint32_t vivo = (!it->second.caido && consultarSumidero(it->second).hallado) ? 1 : 0;
            return copiar(vivo, ioDataSize, outData);
        }
        case kAudioTapPropertyFormat: {
            const auto it = taps_.find(objeto);
            if (it == taps_.end()) return kAudioHardwareBadObjectError;
            return copiar(descripcion(it->second.formato), ioDataSize, outData);
        }
        case kAudioDevicePropertyLatency: {
            if (agregados_.find(objeto) == agregados_.end()) return kAudioHardwareBadObjectError;
            double n = 0;
            for (auto& [id, p] : procs_)
                if (p->agregado() == objeto && p->stream) n += enVuelo(*p);
            const auto frames = static_cast<std::int32_t>(std::clamp(n, -1e9, 1e9));
            return copiar(frames, ioDataSize, outData);
        }
        case kAudioDevicePropertyNominalSampleRate: {
            const auto it = agregados_.find(objeto);
            if (it == agregados_.end()) return kAudioHardwareBadObjectError;
            const auto tap = taps_.find(it->second.tap);
            if (tap == taps_.end()) return kAudioHardwareBadObjectError;
            return copiar(static_cast<double>(tap->second.formato.rate), ioDataSize, outData);
        }
        default:
            return kAudioHardwareUnknownPropertyError;
    }
}

AudioStreamBasicDescription AudioHardwarePulse::descripcion(const pa_sample_spec& f) {
    AudioStreamBasicDescription d;
    d.mSampleRate = f.rate;
    d.mFormatID = kAudioFormatLinearPCM;
    d.mFormatFlags = kAudioFormatFlagIsFloat | kAudioFormatFlagIsPacked;
    d.mChannelsPerFrame = f.channels;
    d.mBitsPerChannel = 8 * kBytesPorMuestra;
    d.mBytesPerFrame = f.channels * kBytesPorMuestra;
    d.mFramesPerPacket = 1;
    d.mBytesPerPacket = d.mBytesPerFrame;
    return d;
}

}  // namespace vkpulse

std::unique_ptr<AudioHardware> audioHardwareDelSistema() {
    return std::make_unique<vkpulse::AudioHardwarePulse>();
}
