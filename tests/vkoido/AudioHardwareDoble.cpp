#include "AudioHardwareDoble.h"

#include <chrono>
#include <cmath>
#include <cstring>
#include <memory>

namespace {

std::string cc(std::uint32_t v) {
    std::string s(4, ' ');
    for (int i = 0; i < 4; ++i)
        s[static_cast<std::size_t>(i)] = static_cast<char>((v >> (24 - 8 * i)) & 0xFF);
    return s;
}

template <typename T>
OSStatus poner(const T& v, std::uint32_t* tam, void* destino) {
    if (tam == nullptr || destino == nullptr || *tam != sizeof(T)) return kAudioHardwareBadPropertySizeError;
    std::memcpy(destino, &v, sizeof(T));
    return kAudioHardwareNoError;
}

}  // namespace

AudioStreamBasicDescription formatoFloatEntrelazado(double tasa, std::uint32_t canales) {
    AudioStreamBasicDescription d;
    d.mSampleRate = tasa;
    d.mFormatID = kAudioFormatLinearPCM;
    d.mFormatFlags = kAudioFormatFlagIsFloat | kAudioFormatFlagIsPacked;
    d.mBytesPerPacket = 4 * canales;
    d.mFramesPerPacket = 1;
    d.mBytesPerFrame = 4 * canales;
    d.mChannelsPerFrame = canales;
    d.mBitsPerChannel = 32;
    return d;
}

AudioHardwareDoble::AudioHardwareDoble() = default;

AudioHardwareDoble::~AudioHardwareDoble() {
    alimentando_ = false;
    if (alimentador_.joinable()) alimentador_.join();
}

void AudioHardwareDoble::agregar(DispositivoDoble d) {
    std::lock_guard<std::mutex> g(mutex_);
    dispositivos_.push_back(std::move(d));
}

void AudioHardwareDoble::quitar(AudioObjectID id) {
    std::lock_guard<std::mutex> g(mutex_);
    std::erase_if(dispositivos_, [id](const DispositivoDoble& d) { return d.id == id; });
}

void AudioHardwareDoble::porDefecto(AudioObjectID id) {
    std::lock_guard<std::mutex> g(mutex_);
    porDefecto_ = id;
}

void AudioHardwareDoble::vivo(AudioObjectID id, bool v) {
    std::lock_guard<std::mutex> g(mutex_);
    if (auto* d = buscar(id)) d->vivo = v;
}

void AudioHardwareDoble::tasas(AudioObjectID id, double nominal, double tap) {
    std::lock_guard<std::mutex> g(mutex_);
    if (auto* d = buscar(id)) {
        d->tasaNominal = nominal;
        d->formatoTap.mSampleRate = tap;
    }
}

void AudioHardwareDoble::enVuelo(AudioObjectID id, std::int32_t frames) {
    std::lock_guard<std::mutex> g(mutex_);
    if (auto* d = buscar(id)) d->enVuelo = frames;
}

void AudioHardwareDoble::estado(const std::string& llamada, OSStatus s) {
    std::lock_guard<std::mutex> g(mutex_);
    estados_[llamada] = s;
}

void AudioHardwareDoble::idCero(const std::string& llamada, bool si) {
    std::lock_guard<std::mutex> g(mutex_);
    if (si)
        idCero_.insert(llamada);
    else
        idCero_.erase(llamada);
}

void AudioHardwareDoble::falloDeLectura(AudioObjectPropertySelector s, OSStatus st) {
    std::lock_guard<std::mutex> g(mutex_);
    if (st == 0)
        fallosDeLectura_.erase(s);
    else
        fallosDeLectura_[s] = st;
}

void AudioHardwareDoble::disparar(AudioObjectPropertySelector s) {
    std::lock_guard<std::mutex> g(mutex_);
    for (auto& o : oyentes_) {
        if (o.selector != s) continue;
        auto bloque = o.bloque;
        o.cola->encolar([bloque, s] {
            const AudioObjectPropertyAddress a{s, kAudioObjectPropertyScopeGlobal,
                                               kAudioObjectPropertyElementMain};
            bloque(1, &a);
        });
    }
}

int AudioHardwareDoble::entregarCiclo(const std::vector<float>& muestras, std::uint32_t canales) {
    std::lock_guard<std::mutex> g(mutex_);
    int n = 0;
    for (auto& [id, p] : procs_) {
        if (!p.arrancado) continue;
        auto datos = std::make_shared<std::vector<float>>(muestras);
        p.cola->encolar([bloque = p.bloque, datos, canales] {
            AudioBufferList l;
            l.mNumberBuffers = 1;
            l.mBuffers[0] = {canales, static_cast<std::uint32_t>(datos->size() * sizeof(float)),
                             datos->data()};
            (*bloque)(nullptr, &l, nullptr, nullptr, nullptr);
        });
        ++n;
    }
    return n;
}

int AudioHardwareDoble::entregarLista(const AudioBufferList& lista) {
    std::lock_guard<std::mutex> g(mutex_);
    int n = 0;
    for (auto& [id, p] : procs_) {
        if (!p.arrancado) continue;
        p.cola->encolar(
            [bloque = p.bloque, lista] { (*bloque)(nullptr, &lista, nullptr, nullptr, nullptr); });
        ++n;
    }
    return n;
}

std::vector<std::string> AudioHardwareDoble::registro() {
    std::lock_guard<std::mutex> g(mutex_);
    return registro_;
}

std::vector<nlohmann::json> AudioHardwareDoble::diccionarios() {
    std::lock_guard<std::mutex> g(mutex_);
    return diccionarios_;
}

std::vector<CATapDescription> AudioHardwareDoble::descripciones() {
    std::lock_guard<std::mutex> g(mutex_);
    return descripciones_;
}

int AudioHardwareDoble::iosArrancados() {
    std::lock_guard<std::mutex> g(mutex_);
    int n = 0;
    for (auto& [id, p] : procs_)
        n += p.arrancado ? 1 : 0;
    return n;
}

OSStatus AudioHardwareDoble::estadoDe(const std::string& llamada) {
    const auto it = estados_.find(llamada);
    return it == estados_.end() ? kAudioHardwareNoError : it->second;
}

DispositivoDoble* AudioHardwareDoble::buscar(AudioObjectID id) {
    for (auto& d : dispositivos_)
        if (d.id == id) return &d;
    return nullptr;
}

OSStatus AudioHardwareDoble::AudioObjectGetPropertyData(AudioObjectID objeto,
                                                        const AudioObjectPropertyAddress& a, std::uint32_t,
                                                        const void*, std::uint32_t* tam, void* destino) {
    std::lock_guard<std::mutex> g(mutex_);
    if (const auto f = fallosDeLectura_.find(a.mSelector); f != fallosDeLectura_.end()) return f->second;
    if (a.mScope != kAudioObjectPropertyScopeGlobal || a.mElement != kAudioObjectPropertyElementMain)
        return kAudioHardwareUnknownPropertyError;
    if (objeto == kAudioObjectSystemObject) {
        if (a.mSelector == kAudioHardwarePropertyDefaultOutputDevice) return poner(porDefecto_, tam, destino);
        return kAudioHardwareUnknownPropertyError;
    }
    if (const auto t = taps_.find(objeto); t != taps_.end()) {
        if (a.mSelector != kAudioTapPropertyFormat) return kAudioHardwareUnknownPropertyError;
        const DispositivoDoble* d = buscar(t->second);
        return d == nullptr ? kAudioHardwareBadObjectError : poner(d->formatoTap, tam, destino);
    }
    if (const auto ag = agregados_.find(objeto); ag != agregados_.end()) {
        const DispositivoDoble* d = buscar(ag->second);
        if (d == nullptr) return kAudioHardwareBadObjectError;
        if (a.mSelector == kAudioDevicePropertyNominalSampleRate) return poner(d->tasaNominal, tam, destino);
        if (a.mSelector == kAudioDevicePropertyLatency) return poner(d->enVuelo, tam, destino);
        return kAudioHardwareUnknownPropertyError;
    }
    const DispositivoDoble* d = buscar(objeto);
    if (d == nullptr) return kAudioHardwareBadObjectError;
    switch (a.mSelector) {
        case kAudioDevicePropertyTransportType:
            return poner(d->transporte, tam, destino);
        case kAudioDevicePropertyDeviceIsAlive:
            return poner(static_cast<std::uint32_t>(d->vivo), tam, destino);
        case kAudioDevicePropertyNominalSampleRate:
            return poner(d->tasaNominal, tam, destino);
        default:
            return kAudioHardwareUnknownPropertyError;
    }
}

OSStatus AudioHardwareDoble::AudioObjectGetPropertyString(AudioObjectID objeto,
                                                          const AudioObjectPropertyAddress& a,
                                                          std::string& destino) {
    std::lock_guard<std::mutex> g(mutex_);
    if (const auto f = fallosDeLectura_.find(a.mSelector); f != fallosDeLectura_.end()) return f->second;
    const DispositivoDoble* d = buscar(objeto);
    if (d == nullptr) return kAudioHardwareBadObjectError;
    if (a.mSelector == kAudioDevicePropertyDeviceUID) {
        destino = d->uid;
        return kAudioHardwareNoError;
    }
    if (a.mSelector == kAudioObjectPropertyName) {
        destino = d->nombre;
        return kAudioHardwareNoError;
    }
    return kAudioHardwareUnknownPropertyError;
}

OSStatus AudioHardwareDoble::AudioHardwareCreateProcessTap(const CATapDescription& desc, AudioObjectID* out) {
    std::lock_guard<std::mutex> g(mutex_);
    descripciones_.push_back(desc);
    const OSStatus s = estadoDe("AudioHardwareCreateProcessTap");
    if (s != 0) {
        anotar("AudioHardwareCreateProcessTap -> " + std::to_string(s));
        return s;
    }
    if (idCero_.count("AudioHardwareCreateProcessTap") != 0) {
        *out = 0;
        anotar("AudioHardwareCreateProcessTap -> 0");
        return 0;
    }
    *out = siguienteTap_++;
    taps_[*out] = porDefecto_;
    anotar("AudioHardwareCreateProcessTap -> " + std::to_string(*out));
    return 0;
}

OSStatus AudioHardwareDoble::AudioHardwareDestroyProcessTap(AudioObjectID tap) {
    std::lock_guard<std::mutex> g(mutex_);
    taps_.erase(tap);
    anotar("AudioHardwareDestroyProcessTap " + std::to_string(tap));
    return estadoDe("AudioHardwareDestroyProcessTap");
}

OSStatus AudioHardwareDoble::AudioHardwareCreateAggregateDevice(const nlohmann::json& dic,
                                                                AudioObjectID* out) {
    std::lock_guard<std::mutex> g(mutex_);
    diccionarios_.push_back(dic);
    const OSStatus s = estadoDe("AudioHardwareCreateAggregateDevice");
    if (s != 0 || idCero_.count("AudioHardwareCreateAggregateDevice") != 0) {
        if (s == 0) *out = 0;
        anotar("AudioHardwareCreateAggregateDevice -> " + (s != 0 ? std::to_string(s) : std::string("0")));
        return s;
    }
    *out = siguienteAgregado_++;
    agregados_[*out] = porDefecto_;
    anotar("AudioHardwareCreateAggregateDevice -> " + std::to_string(*out));
    return 0;
}

OSStatus AudioHardwareDoble::AudioHardwareDestroyAggregateDevice(AudioObjectID dev) {
    std::lock_guard<std::mutex> g(mutex_);
    agregados_.erase(dev);
    anotar("AudioHardwareDestroyAggregateDevice " + std::to_string(dev));
    return estadoDe("AudioHardwareDestroyAggregateDevice");
}

OSStatus AudioHardwareDoble::AudioDeviceCreateIOProcIDWithBlock(AudioDeviceIOProcID* out, AudioObjectID dev,
                                                                Cola& cola, AudioDeviceIOBlock bloque) {
    std::lock_guard<std::mutex> g(mutex_);
    const OSStatus s = estadoDe("AudioDeviceCreateIOProcIDWithBlock");
    if (s != 0 || idCero_.count("AudioDeviceCreateIOProcIDWithBlock") != 0) {
        anotar("AudioDeviceCreateIOProcIDWithBlock " + std::to_string(dev) + " -> " +
               (s != 0 ? std::to_string(s) : std::string("0")));
        return s;
    }
    *out = siguienteProc_++;
    procs_[*out] = IOProc{dev, &cola, std::make_shared<AudioDeviceIOBlock>(std::move(bloque)), false};
    anotar("AudioDeviceCreateIOProcIDWithBlock " + std::to_string(dev) + " -> " + std::to_string(*out));
    return 0;
}

OSStatus AudioHardwareDoble::AudioDeviceStart(AudioObjectID dev, AudioDeviceIOProcID proc) {
    std::lock_guard<std::mutex> g(mutex_);
    anotar("AudioDeviceStart " + std::to_string(dev) + " " + std::to_string(proc));
    const OSStatus s = estadoDe("AudioDeviceStart");
    if (s == 0) {
        if (auto it = procs_.find(proc); it != procs_.end()) it->second.arrancado = true;
    }
    return s;
}

OSStatus AudioHardwareDoble::AudioDeviceStop(AudioObjectID dev, AudioDeviceIOProcID proc) {
    std::lock_guard<std::mutex> g(mutex_);
    anotar("AudioDeviceStop " + std::to_string(dev) + " " + std::to_string(proc));
    if (auto it = procs_.find(proc); it != procs_.end()) {
        it->second.arrancado = false;
        // A slow block on the queue: whoever destroys before draining logs ahead of it.
        it->second.cola->encolar([this] {
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
            std::lock_guard<std::mutex> g2(mutex_);
            anotar("cola drenada");
        });
    }
    return estadoDe("AudioDeviceStop");
}

OSStatus AudioHardwareDoble::AudioDeviceDestroyIOProcID(AudioObjectID dev, AudioDeviceIOProcID proc) {
    std::lock_guard<std::mutex> g(mutex_);
    procs_.erase(proc);
    anotar("AudioDeviceDestroyIOProcID " + std::to_string(dev) + " " + std::to_string(proc));
    return estadoDe("AudioDeviceDestroyIOProcID");
}

OSStatus AudioHardwareDoble::AudioObjectAddPropertyListenerBlock(AudioObjectID objeto,
                                                                 const AudioObjectPropertyAddress& a,
                                                                 Cola& cola,
                                                                 AudioObjectPropertyListenerBlock bloque) {
    std::lock_guard<std::mutex> g(mutex_);
    anotar("AudioObjectAddPropertyListenerBlock " + std::to_string(objeto) + " " + cc(a.mSelector) + " " +
           cc(a.mScope) + " " + std::to_string(a.mElement));
    oyentes_.push_back({a.mSelector, &cola, std::move(bloque)});
    return estadoDe("AudioObjectAddPropertyListenerBlock");
}

void AudioHardwareDoble::alimentar(int cadaMs, double tono, float amplitud) {
    alimentando_ = true;
    alimentador_ = std::thread([this, cadaMs, tono, amplitud] {
        double fase = 0;
        auto siguiente = std::chrono::steady_clock::now();
        while (alimentando_) {
            siguiente += std::chrono::milliseconds(cadaMs);
            std::this_thread::sleep_until(siguiente);
            std::uint32_t canales = 2;
            double tasa = 48000;
            {
                std::lock_guard<std::mutex> g(mutex_);
                for (auto& [id, p] : procs_) {
                    if (!p.arrancado) continue;
                    const auto ag = agregados_.find(p.agregado);
                    const DispositivoDoble* d = ag == agregados_.end() ? nullptr : buscar(ag->second);
                    if (d != nullptr) {
                        canales = d->formatoTap.mChannelsPerFrame;
                        tasa = d->tasaNominal > 0 ? d->tasaNominal : d->formatoTap.mSampleRate;
                    }
                }
            }
            const auto frames = static_cast<std::uint32_t>(tasa * cadaMs / 1000.0);
            std::vector<float> m(static_cast<std::size_t>(frames) * canales);
            for (std::uint32_t i = 0; i < frames; ++i) {
                const auto v = static_cast<float>(amplitud * std::sin(fase));
                fase += 2 * M_PI * tono / tasa;
                for (std::uint32_t c = 0; c < canales; ++c)
                    m[static_cast<std::size_t>(i) * canales + c] = v;
            }
            entregarCiclo(m, canales);
        }
    });
}
