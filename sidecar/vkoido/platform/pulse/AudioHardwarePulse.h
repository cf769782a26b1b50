#pragma once
// The audio hardware seam over libpulse: works against PulseAudio and PipeWire's pulse server.
//
// What the capture calls a device is a sink; its process tap is the sink's monitor source; the
// aggregate device is the configuration of one record stream on that monitor, and its IOProc
// is the stream itself. Everything the backend knows lives under the threaded main loop's
// lock: the main thread takes it for each call, libpulse's thread holds it in every callback.
//
// The backend is one class, its members defined by concern: ConexionPulse.cpp (the connection
// and where a dropped one is rebuilt), SumiderosPulse.cpp (the sink registry: ids, the default
// output, taps and aggregate devices), GrabacionPulse.cpp (the record streams and what is on its
// way in them), OyentesPulse.cpp (the server's events and the listeners), and
// AudioHardwarePulse.cpp (construction, teardown and the property reads). Private to the backend.
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

namespace vkpulse {
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
            recibido = true;
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
    // What the monitor's sink had rendered before we listened, as the stream's first timing
    // answer saw it: that audio never reaches us, and it plays until this long after the answer.
    bool primeraRespuesta = false;
    timeval momentoPrimera{};
    pa_usec_t adelantoPrimera = 0;
    // Whether the stream has handed over anything yet: audio that comes while that lead is still
    // playing is the sink rendering it again for a new player, and the lead no longer holds.
    bool recibido = false;
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

struct Oyente {
    AudioObjectPropertySelector selector;
    Cola* cola;
    AudioObjectPropertyListenerBlock bloque;
};

class AudioHardwarePulse final : public AudioHardware {
  public:
    AudioHardwarePulse();

    ~AudioHardwarePulse() override;

    AudioHardwarePulse(const AudioHardwarePulse&) = delete;
    AudioHardwarePulse& operator=(const AudioHardwarePulse&) = delete;

    OSStatus AudioObjectGetPropertyData(AudioObjectID objeto, const AudioObjectPropertyAddress& dir,
                                        std::uint32_t, const void*, std::uint32_t* ioDataSize,
                                        void* outData) override;

    OSStatus AudioObjectGetPropertyString(AudioObjectID objeto, const AudioObjectPropertyAddress& dir,
                                          std::string& destino) override;

    // The tap listens to the output the last 'dOut' read named, which is the one the capture
    // is being built over.
    OSStatus AudioHardwareCreateProcessTap(const CATapDescription& desc, AudioObjectID* outTapID) override;

    OSStatus AudioHardwareDestroyProcessTap(AudioObjectID tapID) override;

    OSStatus AudioHardwareCreateAggregateDevice(const nlohmann::json& desc,
                                                AudioObjectID* outDeviceID) override;

    OSStatus AudioHardwareDestroyAggregateDevice(AudioObjectID deviceID) override;

    OSStatus AudioDeviceCreateIOProcIDWithBlock(AudioDeviceIOProcID* outIOProcID, AudioObjectID deviceID,
                                                Cola& cola, AudioDeviceIOBlock bloque) override;

    OSStatus AudioDeviceStart(AudioObjectID deviceID, AudioDeviceIOProcID procID) override;

    OSStatus AudioDeviceStop(AudioObjectID, AudioDeviceIOProcID procID) override;

    OSStatus AudioDeviceDestroyIOProcID(AudioObjectID, AudioDeviceIOProcID procID) override;

    OSStatus AudioObjectAddPropertyListenerBlock(AudioObjectID objeto, const AudioObjectPropertyAddress& dir,
                                                 Cola& cola,
                                                 AudioObjectPropertyListenerBlock bloque) override;

  private:
    // ---- connection ---------------------------------------------------------------------

    // A new context towards the server libpulse finds by itself (PULSE_SERVER, the runtime
    // directory). Never spawns a server.
    void conectar();

    // Keeps the loop from pausing while a question of ours is out: the connection being made, a
    // question to the server sent from a callback. Every way out of it comes back here.
    void marcarEnCurso(bool& enCurso, bool si);

    // A connection gone or dropped answers nothing more.
    void nadaEnCurso();

    void olvidarContexto();

    static void alCambiarContexto(pa_context* c, void* yo);

    void programarReconexion();

    static void alReintentar(pa_mainloop_api* api, pa_time_event* e, const timeval*, void* yo);

    // ---- notifications ------------------------------------------------------------------

    static void alSuceder(pa_context*, pa_subscription_event_type_t t, std::uint32_t, void* yo);

    // Asks for the server's default sink; `avisando` tells listeners when it differs from
    // the one seen last.
    void vigilarPorDefecto(bool avisando);

    static void alSaberServidor(pa_context*, const pa_server_info* i, void* yo);

    void avisar(AudioObjectPropertySelector selector);

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

    bool esperar(pa_operation* op);

    struct Consulta {
        AudioHardwarePulse* self;
        DatosSumidero datos;
    };

    static void alSaberSumidero(pa_context*, const pa_sink_info* i, int eol, void* p);

    DatosSumidero consultarSumidero(const Sumidero& s);

    DatosSumidero consultarSumidero(const std::string& nombre);

    struct ConsultaServidor {
        AudioHardwarePulse* self;
        bool hecha = false;
        std::string porDefecto;
    };

    static void alSaberServidorAhora(pa_context*, const pa_server_info* i, void* p);

    // The default sink. When the server has none left, the one that was default goes on being
    // named, dead: the watch then tries to rebuild on it, fails, and says the capture stopped,
    // instead of keeping a capture on a sink that no longer exists without a word.
    OSStatus salidaPorDefecto(AudioObjectID& id);

    AudioObjectID idDeSumidero(const DatosSumidero& d);

    OSStatus transporte(AudioObjectID objeto, std::uint32_t& tipo);

    // ---- the record stream ------------------------------------------------------------

    OSStatus abrirStream(IOProcPulse& p, Tap& tap);

    // Audio captured for this stream that has not reached the block yet: what the server has
    // queued for us or is sending (its write index against our read index, in the last timing
    // answer), what the source has produced since that answer while running (a stopped or
    // starved process finds it all still on its way, not lost), and the IOProc's own cycles.
    // A monitor's sink renders ahead of what it plays: what it rendered before we listened
    // never reaches us, so that much is taken off (the count goes below 0 while the sink is
    // still ahead of us). Whatever the server dropped never shows up here either.
    double enVuelo(IOProcPulse& p);

    static void alCambiarStreamAlAbrir(pa_stream* s, void* yo);

    static void alLeer(pa_stream* s, std::size_t, void* p) { static_cast<IOProcPulse*>(p)->leer(s); }

    // A running stream that ends on its own: its sink went (DONT_MOVE) or the server dropped
    // it. The sink reads as not alive from now on, and the watch is told.
    static void alCambiarStream(pa_stream* s, void* yo);

    // ---- bookkeeping ------------------------------------------------------------------

    void enterrarLibres();

    AudioObjectID nuevoId() { return siguienteId_++; }

    template <typename T>
    static OSStatus copiar(const T& valor, std::uint32_t* ioDataSize, void* outData) {
        if (*ioDataSize != sizeof(T)) return kAudioHardwareBadPropertySizeError;
        std::memcpy(outData, &valor, sizeof(T));
        return kAudioHardwareNoError;
    }

    static AudioStreamBasicDescription descripcion(const pa_sample_spec& f);

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

}  // namespace vkpulse
