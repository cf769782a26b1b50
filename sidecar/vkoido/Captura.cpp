#include "Captura.h"

#include <cmath>
#include <random>
#include <utility>

#include "Eventos.h"
#include "TapWriter.h"

namespace {

AudioObjectPropertyAddress direccion(AudioObjectPropertySelector s) {
    return {s, kAudioObjectPropertyScopeGlobal, kAudioObjectPropertyElementMain};
}

template <typename T>
bool leer(AudioHardware& hw, AudioObjectID objeto, AudioObjectPropertySelector s, T& valor) {
    auto tam = static_cast<std::uint32_t>(sizeof(T));
    T v{};
    if (hw.AudioObjectGetPropertyData(objeto, direccion(s), 0, nullptr, &tam, &v) != kAudioHardwareNoError)
        return false;
    valor = v;
    return true;
}

std::string hzEnteros(double tasa) {
    // Fraction dropped; a rate out of any integer's range shows as 0 rather than ending the run.
    if (!std::isfinite(tasa) || tasa >= 9.2e18 || tasa <= -9.2e18) return "0";
    return std::to_string(static_cast<long long>(tasa));
}

}  // namespace

std::string nuevoUUID() {
    static thread_local std::mt19937_64 gen{std::random_device{}()};
    std::uniform_int_distribution<std::uint64_t> d;
    std::uint64_t a = d(gen), b = d(gen);
    a = (a & 0xFFFFFFFFFFFF0FFFULL) | 0x0000000000004000ULL;  // version 4
    b = (b & 0x3FFFFFFFFFFFFFFFULL) | 0x8000000000000000ULL;  // variant 1
    char t[37];
    (void)std::snprintf(t, sizeof t, "%08X-%04X-%04X-%04X-%012llX", static_cast<unsigned>(a >> 32),
                        static_cast<unsigned>((a >> 16) & 0xFFFF), static_cast<unsigned>(a & 0xFFFF),
                        static_cast<unsigned>(b >> 48),
                        static_cast<unsigned long long>(b & 0xFFFFFFFFFFFFULL));
    return t;
}

CATapDescription CATapDescription::stereoGlobalTapButExcludeProcesses(std::vector<AudioObjectID> excluidos) {
    CATapDescription d;
    d.procesosExcluidos = std::move(excluidos);
    d.estereoGlobal = true;
    d.UUID = nuevoUUID();
    return d;
}

std::optional<Salida> salidaPorDefecto(AudioHardware& hw) {
    AudioObjectID id = 0;
    if (!leer(hw, kAudioObjectSystemObject, kAudioHardwarePropertyDefaultOutputDevice, id) || id == 0)
        return std::nullopt;
    std::string uid;
    if (hw.AudioObjectGetPropertyString(id, direccion(kAudioDevicePropertyDeviceUID), uid) !=
        kAudioHardwareNoError)
        return std::nullopt;
    return Salida{id, uid};
}

std::string nombreDeSalida(AudioHardware& hw, AudioObjectID id) {
    std::string nombre;
    if (hw.AudioObjectGetPropertyString(id, direccion(kAudioObjectPropertyName), nombre) !=
        kAudioHardwareNoError)
        return "salida desconocida";
    return nombre;
}

std::optional<FormatoDeAudio> formatoQueEntrega(AudioHardware& hw, AudioObjectID tap,
                                                AudioObjectID agregado) {
    AudioStreamBasicDescription d;
    if (!leer(hw, tap, kAudioTapPropertyFormat, d)) return std::nullopt;
    auto f = FormatoDeAudio::desdeDescripcion(d);
    if (!f) return std::nullopt;
    double nominal = 0;
    if (!leer(hw, agregado, kAudioDevicePropertyNominalSampleRate, nominal) || !(nominal > 0) ||
        nominal == f->sampleRate())
        return f;
    AudioStreamBasicDescription otra = f->streamDescription();
    otra.mSampleRate = nominal;
    return FormatoDeAudio::desdeDescripcion(otra);
}

std::optional<Captura> armarCaptura(AudioHardware& hw, const Salida& salida, FalloDeCaptura& fallo) {
    CATapDescription desc = CATapDescription::stereoGlobalTapButExcludeProcesses({});
    desc.isPrivate = true;
    desc.muteBehavior = CATapUnmuted;

    AudioObjectID tap = 0;
    const OSStatus st = hw.AudioHardwareCreateProcessTap(desc, &tap);
    if (st != kAudioHardwareNoError || tap == 0) {
        fallo.motivo = "no se pudo crear el tap (OSStatus " + std::to_string(st) + ")";
        return std::nullopt;
    }
    note("tap creado: " + std::to_string(tap));

    nlohmann::json dic = {
        {"name", kNombreDelAgregado},
        {"uid", nuevoUUID()},
        {"private", true},
        {"stacked", false},
        {"tapautostart", true},
        {"taps", nlohmann::json::array({{{"drift", true}, {"uid", desc.UUID}}})},
    };
    std::uint32_t transporte = 0;
    const bool virtual_ = leer(hw, salida.id, kAudioDevicePropertyTransportType, transporte) &&
                          transporte == kAudioDeviceTransportTypeVirtual;
    if (!virtual_) {
        dic["master"] = salida.uid;
        dic["subdevices"] = nlohmann::json::array({{{"uid", salida.uid}}});
    }

    AudioObjectID agregado = 0;
    const OSStatus sa = hw.AudioHardwareCreateAggregateDevice(dic, &agregado);
    if (sa != kAudioHardwareNoError || agregado == 0) {
        hw.AudioHardwareDestroyProcessTap(tap);
        fallo.motivo = "no se pudo crear el dispositivo agregado (OSStatus " + std::to_string(sa) + ")";
        return std::nullopt;
    }
    if (virtual_)
        note("agregado creado solo con el tap: la salida " + salida.uid + " es virtual");
    else
        note("agregado creado sobre la salida " + salida.uid);

    auto f = formatoQueEntrega(hw, tap, agregado);
    if (!f) {
        hw.AudioHardwareDestroyAggregateDevice(agregado);
        hw.AudioHardwareDestroyProcessTap(tap);
        fallo.motivo = "no se pudo leer el formato del tap";
        return std::nullopt;
    }
    note("formato: " + hzEnteros(f->sampleRate()) + " Hz, " + std::to_string(f->channelCount()) + " canales");
    return Captura{salida, tap, agregado, *f, std::nullopt};
}

std::optional<Captura> arrancar(AudioHardware& hw, Captura c, std::shared_ptr<TapWriter> writer,
                                ColaSerie& cola, FalloDeCaptura& fallo) {
    AudioDeviceIOBlock bloque = [w = std::move(writer)](const AudioTimeStamp*, const AudioBufferList* entrada,
                                                        const AudioTimeStamp*, AudioBufferList*,
                                                        const AudioTimeStamp*) {
        if (entrada != nullptr) w->handle(*entrada);
    };
    AudioDeviceIOProcID proc = 0;
    const OSStatus sp = hw.AudioDeviceCreateIOProcIDWithBlock(&proc, c.agregadoID, cola, std::move(bloque));
    if (sp != kAudioHardwareNoError || proc == 0) {
        desarmar(hw, c, cola);
        fallo.motivo = "no se pudo crear el IOProc (OSStatus " + std::to_string(sp) + ")";
        return std::nullopt;
    }
    c.procID = proc;
    const OSStatus ss = hw.AudioDeviceStart(c.agregadoID, proc);
    if (ss != kAudioHardwareNoError) {
        desarmar(hw, c, cola);
        fallo.motivo = "no se pudo arrancar la captura (OSStatus " + std::to_string(ss) + ")";
        return std::nullopt;
    }
    return c;
}

void desarmar(AudioHardware& hw, const Captura& c, ColaSerie& cola) {
    if (c.procID) {
        hw.AudioDeviceStop(c.agregadoID, *c.procID);
        cola.sincronizar();  // IO blocks already queued run before their objects go
        hw.AudioDeviceDestroyIOProcID(c.agregadoID, *c.procID);
    }
    hw.AudioHardwareDestroyAggregateDevice(c.agregadoID);
    hw.AudioHardwareDestroyProcessTap(c.tapID);
}

double segundosEnVuelo(AudioHardware& hw, const Captura& c) {
    std::int32_t frames = 0;
    std::uint32_t tam = sizeof frames;
    const AudioObjectPropertyAddress dir{kAudioDevicePropertyLatency, kAudioObjectPropertyScopeGlobal,
                                         kAudioObjectPropertyElementMain};
    if (hw.AudioObjectGetPropertyData(c.agregadoID, dir, 0, nullptr, &tam, &frames) != kAudioHardwareNoError)
        return 0;
    const double tasa = c.formato.sampleRate();
    return tasa > 0 ? static_cast<double>(frames) / tasa : 0;
}
