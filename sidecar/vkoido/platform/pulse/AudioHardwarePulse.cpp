// The audio hardware seam over libpulse: works against PulseAudio and PipeWire's pulse server.
//
// What the capture calls a device is a sink; its process tap is the sink's monitor source; the
// aggregate device is the configuration of one record stream on that monitor, and its IOProc
// is the stream itself. Everything the backend knows lives under the threaded main loop's
// lock: the main thread takes it for each call, libpulse's thread holds it in every callback.
#include <pthread.h>
#include <pulse/pulseaudio.h>
#include <signal.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "BucleDePulse.h"
#include "platform/AudioHardware.h"
#include "platform/InfoPlist.h"

namespace {

constexpr std::uint32_t kCanalesTap = 2;  // the tap is stereo, whatever the sink has
constexpr std::uint32_t kBytesPorMuestra = sizeof(float);
// The latency asked of the server: audio reaches us at most about this late, well before the
// tick pads silence for it (it waits for 0.5 to 0.75 s), and the level still moves between
// ticks. When nobody else plays at a short latency, the sink and its monitor work in blocks of
// this length for us alone: every halving of it doubles how often the server wakes.
constexpr std::uint32_t kMsDeLatencia = 200;
// Audio goes to the writer in cycles of about this length, whatever pieces the server hands
// over: one conversion and one write each. 100 ms keeps the level moving between two ticks and
// audio well inside the half second before padding.
constexpr std::uint32_t kMsPorCiclo = 100;
// A cycle holds 100 ms up to 81 kHz (faster rates make shorter cycles); 32 of them hold 3.2 s
// when the queue lags.
constexpr std::uint32_t kFramesPorCiclo = 8192;
constexpr std::size_t kCiclosPorIOProc = 32;
// While nobody waits on the server, libpulse's thread wakes at most this often (see BucleDePulse):
// what arrives in between, audio above all, is taken at once at the next wake-up. With a call
// playing, 100 ms costs a fifth less of a core than 50 ms; the server's events (a new default
// sink) wait up to as long.
constexpr std::chrono::milliseconds kRitmo{kMsPorCiclo};
// The server's timing answers: asked again once the last is this old (seconds); an answer older
// than the longest stall that is not a cut says nothing of use.
constexpr double kEdadParaPreguntar = 0.1;
constexpr double kEdadMaximaDeTiempos = 30.0;
constexpr pa_usec_t kEsperaReconexion = PA_USEC_PER_SEC;
constexpr pa_usec_t kEsperaMaxima = 2 * PA_USEC_PER_SEC;  // for one answer of the server

// Transport types beyond the two the seam names.
constexpr std::uint32_t kTransporteUSB = cuatroCar("usb ");
constexpr std::uint32_t kTransporteBluetooth = cuatroCar("blue");
constexpr std::uint32_t kTransportePCI = cuatroCar("pci ");

struct BorrarContexto {
    void operator()(pa_context* c) const {
        pa_context_set_state_callback(c, nullptr, nullptr);
        pa_context_set_subscribe_callback(c, nullptr, nullptr);
        pa_context_disconnect(c);
        pa_context_unref(c);
    }
};
struct BorrarStream {
    void operator()(pa_stream* s) const {
        pa_stream_set_read_callback(s, nullptr, nullptr);
        pa_stream_set_state_callback(s, nullptr, nullptr);
        // A stream whose context has failed is already unlinked; only a live one disconnects.
        const pa_stream_state_t e = pa_stream_get_state(s);
        if (e == PA_STREAM_READY || e == PA_STREAM_CREATING) pa_stream_disconnect(s);
        pa_stream_unref(s);
    }
};
struct BorrarOperacion {
    void operator()(pa_operation* o) const { pa_operation_unref(o); }
};
using Operacion = std::unique_ptr<pa_operation, BorrarOperacion>;
struct BorrarProplist {
    void operator()(pa_proplist* p) const { pa_proplist_free(p); }
};
using Contexto = std::unique_ptr<pa_context, BorrarContexto>;
using Stream = std::unique_ptr<pa_stream, BorrarStream>;

// Holds the main loop's lock for a scope (main thread only; callbacks already hold it).
class Bloqueo {
  public:
    explicit Bloqueo(BucleDePulse* m) : m_(m) { m_->bloquear(); }
    ~Bloqueo() { m_->desbloquear(); }
    Bloqueo(const Bloqueo&) = delete;
    Bloqueo& operator=(const Bloqueo&) = delete;

  private:
    BucleDePulse* m_;
};

// A sink as first seen on one connection. Ids are never reused: a sink that comes back, or a
// server that restarts, gets new ones.
struct Sumidero {
    std::uint64_t conexion = 0;
    std::uint32_t indice = PA_INVALID_INDEX;
    std::string nombre;
    std::string descripcion;
    bool caido = false;  // our stream on it ended while the sink was still listed
};

struct DatosSumidero {
    bool hallado = false;
    std::uint32_t indice = PA_INVALID_INDEX;
    std::string nombre;
    std::string descripcion;
    std::string monitor;
    std::string bus;
    std::uint32_t tasa = 0;
    bool hardware = false;
};

struct Tap {
    AudioObjectID sumidero = kAudioObjectUnknown;
    std::uint64_t conexion = 0;
    std::string uuid;
    std::string monitor;
    pa_sample_spec formato{};  // what the record stream delivers
};

struct Agregado {
    AudioObjectID tap = kAudioObjectUnknown;
};

class IOProcPulse;

// One IO cycle's audio, preallocated: filled on libpulse's thread, run on the write queue.
class Ciclo final : public Trabajo {
  public:
    void ejecutar() override;

    IOProcPulse* proc = nullptr;
    std::uint32_t frames = 0;
    std::atomic<bool> libre{true};
    // Left uninitialised: only the pages a fragment fills ever become resident.
    float muestras[kFramesPorCiclo * kCanalesTap];
};

class IOProcPulse {
  public:
    IOProcPulse(AudioObjectID agregado, Cola& cola, AudioDeviceIOBlock bloque)
        : agregado_(agregado), cola_(cola), bloque_(std::move(bloque)), ciclos_(new Ciclo[kCiclosPorIOProc]) {
        for (std::size_t i = 0; i < kCiclosPorIOProc; ++i)
            ciclos_[i].proc = this;
    }

    // libpulse's thread: gathers what the stream has into cycles of about 100 ms and
    // queues each when full. The server hands over pieces of a few milliseconds; one IO block
    // each would cost a conversion and a write apiece and drain the pool in a blink. A cycle
    // still waiting on the queue is never overwritten: when none is free, what is left stays in
    // the stream (and the server) until a cycle comes back, and is taken at the next read.
    void leer(pa_stream* s) {
        const void* datos = nullptr;
        std::size_t bytes = 0;
        // Each call into libpulse costs a system call of its own (its fork check): peek until
        // nothing is left rather than asking the size first.
        while (pa_stream_peek(s, &datos, &bytes) == 0 && bytes > 0) {
            if (datos != nullptr) {
                tomados_ += repartir(static_cast<const unsigned char*>(datos) + tomados_, bytes - tomados_);
                if (tomados_ < bytes) return;  // the pool is full
            }
            pa_stream_drop(s);
            tomados_ = 0;
        }
    }

    // Frames of ours not yet handed to the block: cycles queued or running, the one being
    // gathered, less what of the stream's current piece they already hold (the stream counts
    // that piece as unread until it is dropped). Under the main loop's lock.
    std::uint64_t framesRetenidos() const {
        std::uint64_t n = 0;
        for (std::size_t i = 0; i < kCiclosPorIOProc; ++i)
            if (!ciclos_[i].libre.load(std::memory_order_acquire)) n += ciclos_[i].frames;
        const std::uint64_t enTrozo = tomados_ / (std::size_t{kCanalesTap} * kBytesPorMuestra);
        return n > enTrozo ? n - enTrozo : 0;
    }

    // Frames per queued cycle at the stream's rate.
    void fijarObjetivo(std::uint32_t tasa) {
        objetivo_ = std::clamp<std::uint32_t>(tasa * kMsPorCiclo / 1000, 1, kFramesPorCiclo);
    }

    // At the stop: what was gathered goes to the queue like any other cycle.
    void vaciar() {
        tomados_ = 0;
        if (llenando_ == nullptr) return;
        Ciclo& c = *llenando_;
        llenando_ = nullptr;
        if (c.frames == 0) {
            c.libre.store(true, std::memory_order_release);
            return;
        }
        cola_.encolar(c);
    }

    // True while some cycle is queued or running.
    bool enUso() const {
        for (std::size_t i = 0; i < kCiclosPorIOProc; ++i)
            if (!ciclos_[i].libre.load(std::memory_order_acquire)) return true;
        return false;
    }

    void correr(Ciclo& c) {
        AudioBufferList entrada;
        entrada.mNumberBuffers = 1;
        entrada.mBuffers[0].mNumberChannels = kCanalesTap;
        entrada.mBuffers[0].mDataByteSize = c.frames * kCanalesTap * kBytesPorMuestra;
        entrada.mBuffers[0].mData = c.muestras;
        AudioBufferList salida;
        const AudioTimeStamp t{};
        bloque_(&t, &entrada, &t, &salida, &t);
    }

    AudioObjectID agregado() const { return agregado_; }
    Stream stream;
    Operacion tiempos;  // the last timing question put to the server
    AudioObjectID sumidero = kAudioObjectUnknown;

  private:
    // Copies whole frames into cycles; answers the bytes taken (fewer when the pool is full).
    std::size_t repartir(const unsigned char* datos, std::size_t bytes) {
        constexpr std::size_t porFrame = std::size_t{kCanalesTap} * kBytesPorMuestra;
        std::size_t frames = bytes / porFrame;
        std::size_t tomados = 0;
        while (frames > 0) {
            if (llenando_ == nullptr) {
                llenando_ = tomarLibre();
                if (llenando_ == nullptr) return tomados;
            }
            Ciclo& c = *llenando_;
            const std::size_t n = std::min<std::size_t>(frames, kFramesPorCiclo - c.frames);
            std::memcpy(c.muestras + std::size_t{c.frames} * kCanalesTap, datos + tomados, n * porFrame);
            c.frames += static_cast<std::uint32_t>(n);
            tomados += n * porFrame;
            frames -= n;
            if (c.frames >= objetivo_) {
                llenando_ = nullptr;
                cola_.encolar(c);
            }
        }
        // A piece that ends in part of a frame (never seen from a server) is taken whole.
        return bytes;
    }

    // The first free cycle: the queue keeps the order, so any will do, and taking the lowest
    // keeps the few a running capture needs in use (and resident) rather than all 32 in turn.
    Ciclo* tomarLibre() {
        for (std::size_t i = 0; i < kCiclosPorIOProc; ++i) {
            Ciclo& c = ciclos_[i];
            if (!c.libre.load(std::memory_order_acquire)) continue;
            c.libre.store(false, std::memory_order_relaxed);
            c.frames = 0;
            return &c;
        }
        return nullptr;
    }

    AudioObjectID agregado_;
    Cola& cola_;
    AudioDeviceIOBlock bloque_;
    std::unique_ptr<Ciclo[]> ciclos_;
    Ciclo* llenando_ = nullptr;  // the cycle being gathered, not yet queued
    std::size_t tomados_ = 0;    // bytes of the stream's current piece already in cycles
    std::uint32_t objetivo_ = kFramesPorCiclo;
};

void Ciclo::ejecutar() {
    proc->correr(*this);
    // Last touch: from here libpulse's thread may refill it, or the IOProc may be freed.
    libre.store(true, std::memory_order_release);
}

struct Oyente {
    AudioObjectPropertySelector selector;
    Cola* cola;
    AudioObjectPropertyListenerBlock bloque;
};

class AudioHardwarePulse final : public AudioHardware {
  public:
    AudioHardwarePulse() : ml_(std::make_unique<BucleDePulse>(kRitmo)) {
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

    ~AudioHardwarePulse() override {
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

    AudioHardwarePulse(const AudioHardwarePulse&) = delete;
    AudioHardwarePulse& operator=(const AudioHardwarePulse&) = delete;

    OSStatus AudioObjectGetPropertyData(AudioObjectID objeto, const AudioObjectPropertyAddress& dir,
                                        std::uint32_t, const void*, std::uint32_t* ioDataSize,
                                        void* outData) override {
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
                const std::uint32_t vivo =
                    (!it->second.caido && consultarSumidero(it->second).hallado) ? 1 : 0;
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

    OSStatus AudioObjectGetPropertyString(AudioObjectID objeto, const AudioObjectPropertyAddress& dir,
                                          std::string& destino) override {
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
    OSStatus AudioHardwareCreateProcessTap(const CATapDescription& desc, AudioObjectID* outTapID) override {
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

    OSStatus AudioHardwareDestroyProcessTap(AudioObjectID tapID) override {
        if (!ml_) return kAudioHardwareNotRunningError;
        Bloqueo b(ml_.get());
        return taps_.erase(tapID) == 1 ? kAudioHardwareNoError : kAudioHardwareBadObjectError;
    }

    OSStatus AudioHardwareCreateAggregateDevice(const nlohmann::json& desc,
                                                AudioObjectID* outDeviceID) override {
        if (outDeviceID == nullptr) return kAudio_ParamError;
        if (!ml_) return kAudioHardwareNotRunningError;
        const auto taps = desc.find("taps");
        if (taps == desc.end() || !taps->is_array() || taps->size() != 1) return kAudio_ParamError;
        const auto uid = taps->at(0).find("uid");
        if (uid == taps->at(0).end() || !uid->is_string()) return kAudio_ParamError;
        Bloqueo b(ml_.get());
        const auto tap = std::find_if(taps_.begin(), taps_.end(), [&](const auto& t) {
            return t.second.uuid == uid->get<std::string>();
        });
        if (tap == taps_.end()) return kAudioHardwareBadObjectError;
        const AudioObjectID id = nuevoId();
        agregados_.emplace(id, Agregado{tap->first});
        *outDeviceID = id;
        return kAudioHardwareNoError;
    }

    OSStatus AudioHardwareDestroyAggregateDevice(AudioObjectID deviceID) override {
        if (!ml_) return kAudioHardwareNotRunningError;
        Bloqueo b(ml_.get());
        for (auto& [id, p] : procs_)
            if (p->agregado() == deviceID) p->stream.reset();
        return agregados_.erase(deviceID) == 1 ? kAudioHardwareNoError : kAudioHardwareBadObjectError;
    }

    OSStatus AudioDeviceCreateIOProcIDWithBlock(AudioDeviceIOProcID* outIOProcID, AudioObjectID deviceID,
                                                Cola& cola, AudioDeviceIOBlock bloque) override {
        if (outIOProcID == nullptr || !bloque) return kAudio_ParamError;
        if (!ml_) return kAudioHardwareNotRunningError;
        Bloqueo b(ml_.get());
        if (agregados_.find(deviceID) == agregados_.end()) return kAudioHardwareBadDeviceError;
        const AudioDeviceIOProcID id = siguienteProc_++;
        procs_.emplace(id, std::make_unique<IOProcPulse>(deviceID, cola, std::move(bloque)));
        *outIOProcID = id;
        return kAudioHardwareNoError;
    }

    OSStatus AudioDeviceStart(AudioObjectID deviceID, AudioDeviceIOProcID procID) override {
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

    OSStatus AudioDeviceStop(AudioObjectID, AudioDeviceIOProcID procID) override {
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

    OSStatus AudioDeviceDestroyIOProcID(AudioObjectID, AudioDeviceIOProcID procID) override {
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

    OSStatus AudioObjectAddPropertyListenerBlock(AudioObjectID objeto, const AudioObjectPropertyAddress& dir,
                                                 Cola& cola,
                                                 AudioObjectPropertyListenerBlock bloque) override {
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

  private:
    // ---- connection ---------------------------------------------------------------------

    // A new context towards the server libpulse finds by itself (PULSE_SERVER, the runtime
    // directory). Never spawns a server.
    void conectar() {
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
    void marcarEnCurso(bool& enCurso, bool si) {
        if (enCurso == si) return;
        enCurso = si;
        if (si) {
            ml_->preguntada();
        } else {
            ml_->respondida();
        }
    }

    // A connection gone or dropped answers nothing more.
    void nadaEnCurso() {
        marcarEnCurso(conectando_, false);
        marcarEnCurso(preguntandoPorDefecto_, false);
    }

    void olvidarContexto() {
        nadaEnCurso();
        contexto_.reset();
    }

    static void alCambiarContexto(pa_context* c, void* yo) {
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
                pa_operation* op =
                    pa_context_subscribe(c,
                                         static_cast<pa_subscription_mask_t>(PA_SUBSCRIPTION_MASK_SINK |
                                                                             PA_SUBSCRIPTION_MASK_SERVER),
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

    void programarReconexion() {
        pa_mainloop_api* api = ml_->api();
        timeval tv{};
        pa_timeval_add(pa_gettimeofday(&tv), kEsperaReconexion);
        if (reintento_) {
            api->time_restart(reintento_, &tv);
        } else {
            reintento_ = api->time_new(api, &tv, &AudioHardwarePulse::alReintentar, this);
        }
    }

    static void alReintentar(pa_mainloop_api* api, pa_time_event* e, const timeval*, void* yo) {
        auto* self = static_cast<AudioHardwarePulse*>(yo);
        api->time_free(e);
        self->reintento_ = nullptr;
        if (self->cerrando_ || self->conectado_) return;
        // Not from inside the old context's own callback: here it can go.
        self->olvidarContexto();
        self->conectar();
    }

    // ---- notifications ------------------------------------------------------------------

    static void alSuceder(pa_context*, pa_subscription_event_type_t t, std::uint32_t, void* yo) {
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
    void vigilarPorDefecto(bool avisando) {
        avisarDefecto_ = avisando;
        pa_operation* op =
            pa_context_get_server_info(contexto_.get(), &AudioHardwarePulse::alSaberServidor, this);
        if (op == nullptr) return;
        pa_operation_unref(op);
        marcarEnCurso(preguntandoPorDefecto_, true);
    }

    static void alSaberServidor(pa_context*, const pa_server_info* i, void* yo) {
        auto* self = static_cast<AudioHardwarePulse*>(yo);
        self->marcarEnCurso(self->preguntandoPorDefecto_, false);
        const std::string nombre = (i && i->default_sink_name) ? i->default_sink_name : "";
        if (nombre == self->porDefectoVisto_) return;
        self->porDefectoVisto_ = nombre;
        if (self->avisarDefecto_) self->avisar(kAudioHardwarePropertyDefaultOutputDevice);
    }

    void avisar(AudioObjectPropertySelector selector) {
        for (const Oyente& o : oyentes_) {
            if (o.selector != selector) continue;
            o.cola->encolar([bloque = o.bloque, selector] {
                const AudioObjectPropertyAddress dir{selector, kAudioObjectPropertyScopeGlobal,
                                                     kAudioObjectPropertyElementMain};
                bloque(1, &dir);
            });
        }
    }

    // ---- synchronous queries (main thread, lock held) ----------------------------------

    // Waits on the main loop until `listo` holds or kEsperaMaxima has passed: a server that
    // has stopped answering must not hold the main thread.
    template <typename Listo>
    bool esperarA(Listo listo) {
        if (listo()) return true;
        bool vencido = false;
        timeval tv{};
        pa_timeval_add(pa_gettimeofday(&tv), kEsperaMaxima);
        pa_mainloop_api* api = ml_->api();
        struct Aviso {
            BucleDePulse* ml;
            bool* vencido;
        } aviso{ml_.get(), &vencido};
        pa_time_event* e = api->time_new(
            api, &tv,
            [](pa_mainloop_api*, pa_time_event*, const timeval*, void* p) {
                auto* a = static_cast<Aviso*>(p);
                *a->vencido = true;
                a->ml->avisar();
            },
            &aviso);
        while (!listo() && !vencido)
            ml_->esperar();
        api->time_free(e);
        return listo();
    }

    bool esperar(pa_operation* op) {
        if (op == nullptr) return false;
        if (!esperarA([op] { return pa_operation_get_state(op) != PA_OPERATION_RUNNING; }))
            pa_operation_cancel(op);
        const bool hecho = pa_operation_get_state(op) == PA_OPERATION_DONE;
        pa_operation_unref(op);
        return hecho;
    }

    struct Consulta {
        AudioHardwarePulse* self;
        DatosSumidero datos;
    };

    static void alSaberSumidero(pa_context*, const pa_sink_info* i, int eol, void* p) {
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

    DatosSumidero consultarSumidero(const Sumidero& s) {
        if (!conectado_ || s.conexion != conexion_) return {};
        Consulta q{this, {}};
        if (!esperar(pa_context_get_sink_info_by_index(contexto_.get(), s.indice, &alSaberSumidero, &q)))
            return {};
        return q.datos;
    }

    DatosSumidero consultarSumidero(const std::string& nombre) {
        Consulta q{this, {}};
        if (!esperar(pa_context_get_sink_info_by_name(contexto_.get(), nombre.c_str(), &alSaberSumidero, &q)))
            return {};
        return q.datos;
    }

    struct ConsultaServidor {
        AudioHardwarePulse* self;
        bool hecha = false;
        std::string porDefecto;
    };

    static void alSaberServidorAhora(pa_context*, const pa_server_info* i, void* p) {
        auto* q = static_cast<ConsultaServidor*>(p);
        q->hecha = i != nullptr;
        if (i && i->default_sink_name) q->porDefecto = i->default_sink_name;
        q->self->ml_->avisar();
    }

    // The default sink. When the server has none left, the one that was default goes on being
    // named, dead: the watch then tries to rebuild on it, fails, and says the capture stopped,
    // instead of keeping a capture on a sink that no longer exists without a word.
    OSStatus salidaPorDefecto(AudioObjectID& id) {
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

    AudioObjectID idDeSumidero(const DatosSumidero& d) {
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

    OSStatus transporte(AudioObjectID objeto, std::uint32_t& tipo) {
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

    // ---- the record stream ------------------------------------------------------------

    OSStatus abrirStream(IOProcPulse& p, Tap& tap) {
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
        p.stream = std::move(s);
        return kAudioHardwareNoError;
    }

    // Audio captured for this stream that has not reached the block yet: what the server has
    // queued for us or is sending (its write index against our read index, in the last timing
    // answer), what the source has produced since that answer while running (a stopped or
    // starved process finds it all still on its way, not lost), and the IOProc's own cycles.
    // A monitor's sink renders ahead of what it plays: what it rendered before we listened
    // never reaches us, so that much is taken off (the count goes below 0 while the sink is
    // still ahead of us). Whatever the server dropped never shows up here either.
    double enVuelo(IOProcPulse& p) {
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
            double servidor = static_cast<double>(t->write_index - t->read_index) / porFrame;
            servidor += static_cast<double>(t->source_usec + t->transport_usec) * porUsec;
            if (pa_stream_is_suspended(s) == 0) servidor += edad * f->rate;
            n += std::max(servidor, 0.0) - static_cast<double>(t->sink_usec) * porUsec;
        } else {
            const std::size_t legibles = pa_stream_readable_size(s);
            if (legibles != static_cast<std::size_t>(-1)) n += static_cast<double>(legibles) / porFrame;
        }
        // The next reading wants a fresh answer; one question at a time.
        const bool sinPregunta =
            !p.tiempos || pa_operation_get_state(p.tiempos.get()) != PA_OPERATION_RUNNING;
        if (sinPregunta && edad >= kEdadParaPreguntar)
            p.tiempos.reset(pa_stream_update_timing_info(s, nullptr, nullptr));
        return n;
    }

    static void alCambiarStreamAlAbrir(pa_stream* s, void* yo) {
        auto* self = static_cast<AudioHardwarePulse*>(yo);
        self->estadoStream_ = pa_stream_get_state(s);
        self->ml_->avisar();
    }

    static void alLeer(pa_stream* s, std::size_t, void* p) { static_cast<IOProcPulse*>(p)->leer(s); }

    // A running stream that ends on its own: its sink went (DONT_MOVE) or the server dropped
    // it. The sink reads as not alive from now on, and the watch is told.
    static void alCambiarStream(pa_stream* s, void* yo) {
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

    void enterrarLibres() {
        std::erase_if(cementerio_, [](const auto& p) { return !p->enUso(); });
    }

    AudioObjectID nuevoId() { return siguienteId_++; }

    template <typename T>
    static OSStatus copiar(const T& valor, std::uint32_t* ioDataSize, void* outData) {
        if (*ioDataSize != sizeof(T)) return kAudioHardwareBadPropertySizeError;
        std::memcpy(outData, &valor, sizeof(T));
        return kAudioHardwareNoError;
    }

    static AudioStreamBasicDescription descripcion(const pa_sample_spec& f) {
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

    std::unique_ptr<BucleDePulse> ml_;
    Contexto contexto_;
    pa_time_event* reintento_ = nullptr;
    bool conectado_ = false;
    bool conectando_ = false;             // pa_context_connect sent, no final state yet
    bool preguntandoPorDefecto_ = false;  // a server-info question from a callback is out
    bool primerIntentoHecho_ = false;
    bool cerrando_ = false;
    std::uint64_t conexion_ = 0;  // counts successful connections
    std::string porDefectoVisto_;
    bool avisarDefecto_ = false;
    AudioObjectID ultimoPorDefecto_ = kAudioObjectUnknown;
    pa_stream_state_t estadoStream_ = PA_STREAM_UNCONNECTED;

    AudioObjectID siguienteId_ = kAudioObjectSystemObject + 1;
    AudioDeviceIOProcID siguienteProc_ = 1;
    std::map<AudioObjectID, Sumidero> sumideros_;
    std::map<AudioObjectID, Tap> taps_;
    std::map<AudioObjectID, Agregado> agregados_;
    std::map<AudioDeviceIOProcID, std::unique_ptr<IOProcPulse>> procs_;
    std::vector<std::unique_ptr<IOProcPulse>> cementerio_;
    std::vector<Oyente> oyentes_;
};

}  // namespace

std::unique_ptr<AudioHardware> audioHardwareDelSistema() {
    return std::make_unique<AudioHardwarePulse>();
}
