#pragma once
// A scriptable stand-in for the audio hardware: devices, a status per call, listeners fired on
// demand, IO cycles delivered on demand, and an ordered log of every call.
#include <atomic>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "platform/AudioHardware.h"

struct DispositivoDoble {
    AudioObjectID id = 0;
    std::string uid;
    std::string nombre;
    std::uint32_t transporte = kAudioDeviceTransportTypeBuiltIn;
    bool vivo = true;
    double tasaNominal = 48000;
    std::int32_t enVuelo = 0;                // 'ltnc' of an aggregate device over it
    AudioStreamBasicDescription formatoTap;  // what a tap built over it delivers
};

// Float32, interleaved, packed.
AudioStreamBasicDescription formatoFloatEntrelazado(double tasa, std::uint32_t canales);

class AudioHardwareDoble : public AudioHardware {
  public:
    AudioHardwareDoble();
    ~AudioHardwareDoble() override;

    // ---- scripting (any thread) ----
    void agregar(DispositivoDoble d);
    void quitar(AudioObjectID id);
    void porDefecto(AudioObjectID id);
    void vivo(AudioObjectID id, bool v);
    void tasas(AudioObjectID id, double nominal, double tap);
    // What 'ltnc' says is on its way for a capture over the device, in frames.
    void enVuelo(AudioObjectID id, std::int32_t frames);
    // The status a call returns from now on, by the call's name ("AudioDeviceStart", ...).
    void estado(const std::string& llamada, OSStatus s);
    // The call answers 0 but leaves its id at 0.
    void idCero(const std::string& llamada, bool si = true);
    // Property reads of this selector fail with this status (0 clears).
    void falloDeLectura(AudioObjectPropertySelector s, OSStatus st);
    // Queues every listener registered for the selector on its queue.
    void disparar(AudioObjectPropertySelector s);
    // Delivers one IO cycle to every started IOProc (interleaved float samples). Answers how
    // many IOProcs it reached.
    int entregarCiclo(const std::vector<float>& muestras, std::uint32_t canales);
    // Delivers a buffer list as given (for malformed lists) to every started IOProc.
    int entregarLista(const AudioBufferList& lista);

    // ---- what happened ----
    std::vector<std::string> registro();
    std::vector<nlohmann::json> diccionarios();
    std::vector<CATapDescription> descripciones();
    int iosArrancados();

    // ---- the seam ----
    OSStatus AudioObjectGetPropertyData(AudioObjectID objeto, const AudioObjectPropertyAddress& direccion,
                                        std::uint32_t qualifierDataSize, const void* qualifierData,
                                        std::uint32_t* ioDataSize, void* outData) override;
    OSStatus AudioObjectGetPropertyString(AudioObjectID objeto, const AudioObjectPropertyAddress& direccion,
                                          std::string& destino) override;
    OSStatus AudioHardwareCreateProcessTap(const CATapDescription& descripcion,
                                           AudioObjectID* outTapID) override;
    OSStatus AudioHardwareDestroyProcessTap(AudioObjectID tapID) override;
    OSStatus AudioHardwareCreateAggregateDevice(const nlohmann::json& descripcion,
                                                AudioObjectID* outDeviceID) override;
    OSStatus AudioHardwareDestroyAggregateDevice(AudioObjectID deviceID) override;
    OSStatus AudioDeviceCreateIOProcIDWithBlock(AudioDeviceIOProcID* outIOProcID, AudioObjectID deviceID,
                                                Cola& cola, AudioDeviceIOBlock bloque) override;
    OSStatus AudioDeviceStart(AudioObjectID deviceID, AudioDeviceIOProcID procID) override;
    OSStatus AudioDeviceStop(AudioObjectID deviceID, AudioDeviceIOProcID procID) override;
    OSStatus AudioDeviceDestroyIOProcID(AudioObjectID deviceID, AudioDeviceIOProcID procID) override;
    OSStatus AudioObjectAddPropertyListenerBlock(AudioObjectID objeto,
                                                 const AudioObjectPropertyAddress& direccion, Cola& cola,
                                                 AudioObjectPropertyListenerBlock bloque) override;

    // Feeds IO cycles from a thread of its own: every `cadaMs`, that long of a sine of
    // `tono` Hz at `amplitud` on every channel, at the running device's rate. Stops with the double.
    void alimentar(int cadaMs, double tono, float amplitud);

  private:
    struct IOProc {
        AudioObjectID agregado;
        Cola* cola;
        std::shared_ptr<AudioDeviceIOBlock> bloque;
        bool arrancado = false;
    };
    struct Oyente {
        AudioObjectPropertySelector selector;
        Cola* cola;
        AudioObjectPropertyListenerBlock bloque;
    };
    OSStatus estadoDe(const std::string& llamada);
    DispositivoDoble* buscar(AudioObjectID id);
    void anotar(std::string s) { registro_.push_back(std::move(s)); }

    std::mutex mutex_;
    std::vector<DispositivoDoble> dispositivos_;
    AudioObjectID porDefecto_ = 0;
    std::map<std::string, OSStatus> estados_;
    std::set<std::string> idCero_;
    std::map<AudioObjectPropertySelector, OSStatus> fallosDeLectura_;
    std::vector<std::string> registro_;
    std::vector<nlohmann::json> diccionarios_;
    std::vector<CATapDescription> descripciones_;
    std::map<AudioObjectID, AudioObjectID> taps_;       // tap -> device it hears
    std::map<AudioObjectID, AudioObjectID> agregados_;  // aggregate -> device it hears
    std::map<AudioDeviceIOProcID, IOProc> procs_;
    std::vector<Oyente> oyentes_;
    AudioObjectID siguienteTap_ = 100;
    AudioObjectID siguienteAgregado_ = 200;
    AudioDeviceIOProcID siguienteProc_ = 1;
    std::atomic<bool> alimentando_{false};
    std::thread alimentador_;
};
