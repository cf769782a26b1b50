// The libpulse backend against a private sound server of its own (two null sinks, "a" at
// 48000 Hz and default, "b" at 44100 Hz).
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/AudioHardware.h"
#include "platform/Despacho.h"
#include "platform/InfoPlist.h"

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

std::string salidaDe(const std::string& orden) {
    std::string texto;
    if (FILE* f = ::popen(orden.c_str(), "r")) {
        char buf[4096];
        std::size_t n = 0;
        while ((n = std::fread(buf, 1, sizeof buf, f)) > 0)
            texto.append(buf, n);
        ::pclose(f);
    }
    return texto;
}

int correr(const std::string& orden) {
    return std::system((orden + " >/dev/null 2>&1").c_str());
}

template <typename Cond>
bool esperarHasta(Cond cond, std::chrono::milliseconds limite = 5000ms) {
    const auto fin = std::chrono::steady_clock::now() + limite;
    while (!cond()) {
        if (std::chrono::steady_clock::now() > fin) return false;
        std::this_thread::sleep_for(20ms);
    }
    return true;
}

class ServidorPrivado : public ::testing::Test {
  protected:
    void SetUp() override {
        char plantilla[] = "/tmp/vkoido-hw-XXXXXX";
        ASSERT_NE(::mkdtemp(plantilla), nullptr);
        dir_ = plantilla;
        arrancar();
        ::setenv("PULSE_SERVER", ("unix:" + dir_ + "/run/native").c_str(), 1);
        ::setenv("HOME", (dir_ + "/home").c_str(), 1);
        ::setenv("XDG_RUNTIME_DIR", (dir_ + "/run").c_str(), 1);
    }

    void TearDown() override {
        hw_.reset();
        correr(harness() + " parar " + dir_);
        fs::remove_all(dir_);
    }

    static std::string harness() { return std::string("/usr/bin/python3 ") + VKOIDO_SERVIDOR_PULSE; }
    // Why a server did not start is worth seeing: the harness's errors stay on stderr.
    void arrancar() { ASSERT_EQ(std::system((harness() + " arrancar " + dir_ + " >/dev/null").c_str()), 0); }
    void matar() { correr(harness() + " matar " + dir_); }
    void pactl(const std::string& args) { ASSERT_EQ(correr("pactl " + args), 0) << args; }

    AudioHardware& hw() {
        if (!hw_) hw_ = audioHardwareDelSistema();
        return *hw_;
    }

    template <typename T>
    OSStatus leer(AudioObjectID objeto, AudioObjectPropertySelector sel, T& valor) {
        std::uint32_t tam = sizeof(T);
        return hw().AudioObjectGetPropertyData(objeto, {sel}, 0, nullptr, &tam, &valor);
    }

    AudioObjectID porDefecto() {
        AudioObjectID id = 0;
        EXPECT_EQ(leer(kAudioObjectSystemObject, kAudioHardwarePropertyDefaultOutputDevice, id), 0);
        return id;
    }

    std::string texto(AudioObjectID id, AudioObjectPropertySelector sel) {
        std::string t;
        EXPECT_EQ(hw().AudioObjectGetPropertyString(id, {sel}, t), 0);
        return t;
    }

    // A new default sink, once the server says so (PipeWire's session manager takes a moment).
    void ponerPorDefecto(const std::string& sumidero) {
        pactl("set-default-sink " + sumidero);
        EXPECT_TRUE(esperarHasta([&] {
            std::string uid;
            AudioObjectID id = 0;
            return leer(kAudioObjectSystemObject, kAudioHardwarePropertyDefaultOutputDevice, id) == 0 &&
                   hw().AudioObjectGetPropertyString(id, {kAudioDevicePropertyDeviceUID}, uid) == 0 &&
                   uid == sumidero;
        })) << sumidero;
    }

    // Tap and aggregate device over the current default output, as the capture builds them.
    void armar(AudioObjectID& tap, AudioObjectID& agregado) {
        (void)porDefecto();
        CATapDescription d;
        d.UUID = "5D7E1B0C-0000-4000-8000-" + std::to_string(100000000000 + ++armados_);
        ASSERT_EQ(hw().AudioHardwareCreateProcessTap(d, &tap), 0);
        nlohmann::json dic = {{"name", "Veskora Tap"}, {"uid", "X"},
                              {"private", true},       {"stacked", false},
                              {"tapautostart", true},  {"taps", {{{"drift", true}, {"uid", d.UUID}}}}};
        ASSERT_EQ(hw().AudioHardwareCreateAggregateDevice(dic, &agregado), 0);
    }

    // Counts the device-list and default-output notifications, delivered on `oyentes`.
    void escuchar(ColaSerie& oyentes, std::atomic<int>& dispositivos, std::atomic<int>& defectos) {
        hw().AudioObjectAddPropertyListenerBlock(
            kAudioObjectSystemObject, {kAudioHardwarePropertyDevices}, oyentes,
            [&dispositivos](std::uint32_t, const AudioObjectPropertyAddress*) { ++dispositivos; });
        hw().AudioObjectAddPropertyListenerBlock(
            kAudioObjectSystemObject, {kAudioHardwarePropertyDefaultOutputDevice}, oyentes,
            [&defectos](std::uint32_t, const AudioObjectPropertyAddress*) { ++defectos; });
    }

    std::string dir_;
    std::unique_ptr<AudioHardware> hw_;
    int armados_ = 0;
};

// What a block receives: frames, and the loudest sample.
struct Recibido {
    std::mutex m;
    std::size_t llamadas = 0;
    std::size_t frames = 0;
    float pico = 0;
    std::uint32_t canales = 0;
};

AudioDeviceIOBlock bloqueQueCuenta(Recibido& r) {
    return [&r](const AudioTimeStamp*, const AudioBufferList* lista, const AudioTimeStamp*, AudioBufferList*,
                const AudioTimeStamp*) {
        std::lock_guard l(r.m);
        const AudioBuffer& b = lista->mBuffers[0];
        const auto* m = static_cast<const float*>(b.mData);
        const std::size_t n = b.mDataByteSize / sizeof(float);
        for (std::size_t i = 0; i < n; ++i)
            r.pico = std::max(r.pico, std::fabs(m[i]));
        ++r.llamadas;
        r.canales = b.mNumberChannels;
        r.frames += n / b.mNumberChannels;
    };
}

std::string tonoWav(const std::string& dir, int tasa, double segundos) {
    const std::string ruta = dir + "/tono-" + std::to_string(tasa) + ".wav";
    correr("sox -n -r " + std::to_string(tasa) + " -c 2 -b 16 " + ruta + " synth " +
           std::to_string(segundos) + " sine 1000 vol 0.5");
    return ruta;
}

TEST_F(ServidorPrivado, DescribeLasSalidasConIdsPropios) {
    const AudioObjectID a = porDefecto();
    ASSERT_NE(a, 0U);
    EXPECT_NE(a, kAudioObjectSystemObject);
    EXPECT_EQ(texto(a, kAudioDevicePropertyDeviceUID), "a");
    EXPECT_EQ(texto(a, kAudioObjectPropertyName), "Altavoces_A");
    std::uint32_t tipo = 0;
    ASSERT_EQ(leer(a, kAudioDevicePropertyTransportType, tipo), 0);
    EXPECT_EQ(tipo, kAudioDeviceTransportTypeVirtual);
    std::uint32_t vivo = 0;
    ASSERT_EQ(leer(a, kAudioDevicePropertyDeviceIsAlive, vivo), 0);
    EXPECT_EQ(vivo, 1U);

    ponerPorDefecto("b");
    const AudioObjectID b = porDefecto();
    EXPECT_NE(b, a);
    EXPECT_EQ(texto(b, kAudioDevicePropertyDeviceUID), "b");
    ponerPorDefecto("a");
    EXPECT_EQ(porDefecto(), a) << "the same sink keeps its id on one connection";

    // Sizes and objects the backend does not have.
    std::uint64_t grande = 0;
    std::uint32_t tam = sizeof grande;
    EXPECT_EQ(
        hw().AudioObjectGetPropertyData(kAudioObjectSystemObject, {kAudioHardwarePropertyDefaultOutputDevice},
                                        0, nullptr, &tam, &grande),
        kAudioHardwareBadPropertySizeError);
    EXPECT_EQ(leer(987654U, kAudioDevicePropertyDeviceIsAlive, vivo), kAudioHardwareBadObjectError);
}

TEST_F(ServidorPrivado, ElFormatoEsElQueElStreamEntrega) {
    AudioObjectID tap = 0;
    AudioObjectID agregado = 0;
    armar(tap, agregado);
    AudioStreamBasicDescription f;
    ASSERT_EQ(leer(tap, kAudioTapPropertyFormat, f), 0);
    EXPECT_EQ(f.mSampleRate, 48000.0);
    EXPECT_EQ(f.mChannelsPerFrame, 2U);
    EXPECT_EQ(f.mFormatID, kAudioFormatLinearPCM);
    EXPECT_TRUE(f.mFormatFlags & kAudioFormatFlagIsFloat);
    EXPECT_FALSE(f.mFormatFlags & kAudioFormatFlagIsNonInterleaved);
    EXPECT_EQ(f.mBytesPerFrame, 8U);
    double nominal = 0;
    ASSERT_EQ(leer(agregado, kAudioDevicePropertyNominalSampleRate, nominal), 0);
    EXPECT_EQ(nominal, 48000.0);

    ponerPorDefecto("b");
    AudioObjectID tapB = 0;
    AudioObjectID agregadoB = 0;
    armar(tapB, agregadoB);
    ASSERT_EQ(leer(tapB, kAudioTapPropertyFormat, f), 0);
    EXPECT_EQ(f.mSampleRate, 44100.0);
    ASSERT_EQ(leer(agregadoB, kAudioDevicePropertyNominalSampleRate, nominal), 0);
    EXPECT_EQ(nominal, 44100.0);

    // Once started, the stream runs at exactly that rate: 44100 frames a second come in.
    ColaSerie cola("prueba.escritura");
    Recibido r;
    AudioDeviceIOProcID proc = 0;
    ASSERT_EQ(hw().AudioDeviceCreateIOProcIDWithBlock(&proc, agregadoB, cola, bloqueQueCuenta(r)), 0);
    ASSERT_EQ(hw().AudioDeviceStart(agregadoB, proc), 0);
    // An idle null sink renders in long blocks until it sees the stream's latency: count from
    // the first audio on.
    auto frames = [&] {
        std::lock_guard l(r.m);
        return r.frames;
    };
    ASSERT_TRUE(esperarHasta([&] { return frames() > 0; }, 4000ms));
    const std::size_t f0 = frames();
    const auto inicio = std::chrono::steady_clock::now();
    std::this_thread::sleep_for(2000ms);
    const double segundos = std::chrono::duration<double>(std::chrono::steady_clock::now() - inicio).count();
    const std::size_t llegados = frames() - f0;
    hw().AudioDeviceStop(agregadoB, proc);
    cola.sincronizar();
    hw().AudioDeviceDestroyIOProcID(agregadoB, proc);
    EXPECT_NEAR(static_cast<double>(llegados) / segundos, 44100.0, 44100.0 * 0.1);
    std::lock_guard l(r.m);
    EXPECT_EQ(r.canales, 2U);
}

TEST_F(ServidorPrivado, EntregaLoQueSuenaYNadaTrasParar) {
    AudioObjectID tap = 0;
    AudioObjectID agregado = 0;
    armar(tap, agregado);
    ColaSerie cola("prueba.escritura");
    Recibido r;
    AudioDeviceIOProcID proc = 0;
    ASSERT_EQ(hw().AudioDeviceCreateIOProcIDWithBlock(&proc, agregado, cola, bloqueQueCuenta(r)), 0);
    ASSERT_NE(proc, 0U);
    ASSERT_EQ(hw().AudioDeviceStart(agregado, proc), 0);
    const std::string tono = tonoWav(dir_, 48000, 1.0);
    ASSERT_EQ(correr("paplay " + tono), 0);
    ASSERT_TRUE(esperarHasta([&] {
        std::lock_guard l(r.m);
        return r.pico > 0.4F;
    }));

    ASSERT_EQ(hw().AudioDeviceStop(agregado, proc), 0);
    cola.sincronizar();
    std::size_t llamadas = 0;
    {
        std::lock_guard l(r.m);
        llamadas = r.llamadas;
    }
    std::this_thread::sleep_for(300ms);
    cola.sincronizar();
    {
        std::lock_guard l(r.m);
        EXPECT_EQ(r.llamadas, llamadas) << "an IO block ran after the stop";
    }
    EXPECT_EQ(hw().AudioDeviceDestroyIOProcID(agregado, proc), 0);
    EXPECT_EQ(hw().AudioHardwareDestroyAggregateDevice(agregado), 0);
    EXPECT_EQ(hw().AudioHardwareDestroyProcessTap(tap), 0);
    EXPECT_EQ(salidaDe("pactl list short source-outputs"), "");
}

TEST_F(ServidorPrivado, SinSuSalidaElStreamTerminaYNoPasaAlMicrofono) {
    // A "microphone" that would give itself away with its tone, made the default source.
    ASSERT_EQ(correr(harness() + " microfono " + dir_), 0);
    ColaSerie oyentes("prueba.oyentes");
    std::atomic<int> dispositivos{0};
    std::atomic<int> defectos{0};
    escuchar(oyentes, dispositivos, defectos);
    const AudioObjectID a = porDefecto();
    AudioObjectID tap = 0;
    AudioObjectID agregado = 0;
    armar(tap, agregado);
    ColaSerie cola("prueba.escritura");
    Recibido r;
    AudioDeviceIOProcID proc = 0;
    ASSERT_EQ(hw().AudioDeviceCreateIOProcIDWithBlock(&proc, agregado, cola, bloqueQueCuenta(r)), 0);
    ASSERT_EQ(hw().AudioDeviceStart(agregado, proc), 0);
    std::this_thread::sleep_for(200ms);

    const std::string modulo = salidaDe(
        "pactl list short modules | awk '$2==\"module-null-sink\" && /sink_name=a /"
        "{print $1}'");
    ASSERT_FALSE(modulo.empty());
    pactl("unload-module " + modulo);
    pactl("unload-module module-null-sink");  // "b" too: no sink left at all
    EXPECT_TRUE(esperarHasta([&] { return dispositivos.load() >= 2 && defectos.load() >= 1; }));
    std::this_thread::sleep_for(300ms);
    cola.sincronizar();
    std::size_t frames = 0;
    {
        std::lock_guard l(r.m);
        frames = r.frames;
        EXPECT_LT(r.pico, 0.01F) << "something other than the sink's monitor was recorded";
    }
    EXPECT_EQ(salidaDe("pactl list short source-outputs"), "") << "the stream was moved instead of ended";

    // The vanished default output is still named, dead, so that the watch notices; a tap on it
    // cannot be made.
    EXPECT_EQ(porDefecto(), a);
    std::uint32_t vivo = 1;
    ASSERT_EQ(leer(a, kAudioDevicePropertyDeviceIsAlive, vivo), 0);
    EXPECT_EQ(vivo, 0U);
    EXPECT_EQ(texto(a, kAudioObjectPropertyName), "Altavoces_A");
    CATapDescription d;
    d.UUID = "otro";
    AudioObjectID otroTap = 0;
    EXPECT_NE(hw().AudioHardwareCreateProcessTap(d, &otroTap), 0);

    // A new sink becomes the default, with a new id.
    const int antes = defectos.load();
    pactl("load-module module-null-sink sink_name=c rate=48000");
    EXPECT_TRUE(esperarHasta([&] { return defectos.load() > antes; }));
    const AudioObjectID c = porDefecto();
    EXPECT_NE(c, a);
    EXPECT_EQ(texto(c, kAudioDevicePropertyDeviceUID), "c");

    hw().AudioDeviceStop(agregado, proc);
    cola.sincronizar();
    hw().AudioDeviceDestroyIOProcID(agregado, proc);
    hw().AudioHardwareDestroyAggregateDevice(agregado);
    hw().AudioHardwareDestroyProcessTap(tap);
    // What the stop hands over was gathered before the sink went: still no tone in it.
    std::lock_guard l(r.m);
    EXPECT_LE(r.frames, frames + 8192);
    EXPECT_LT(r.pico, 0.01F);
    oyentes.sincronizar();
}

TEST_F(ServidorPrivado, SobreviveAUnServidorQueMuereYVuelve) {
    ColaSerie oyentes("prueba.oyentes");
    std::atomic<int> dispositivos{0};
    std::atomic<int> defectos{0};
    escuchar(oyentes, dispositivos, defectos);
    const AudioObjectID antes = porDefecto();
    AudioObjectID tap = 0;
    AudioObjectID agregado = 0;
    armar(tap, agregado);
    ColaSerie cola("prueba.escritura");
    Recibido r;
    AudioDeviceIOProcID proc = 0;
    ASSERT_EQ(hw().AudioDeviceCreateIOProcIDWithBlock(&proc, agregado, cola, bloqueQueCuenta(r)), 0);
    ASSERT_EQ(hw().AudioDeviceStart(agregado, proc), 0);

    matar();
    EXPECT_TRUE(esperarHasta([&] { return dispositivos.load() >= 1; }));
    AudioObjectID id = 0;
    const auto t0 = std::chrono::steady_clock::now();
    EXPECT_NE(leer(kAudioObjectSystemObject, kAudioHardwarePropertyDefaultOutputDevice, id), 0);
    EXPECT_LT(std::chrono::steady_clock::now() - t0, 500ms) << "a read with no server must fail fast";
    // Tearing down what lived on the dead server is safe.
    EXPECT_EQ(hw().AudioDeviceStop(agregado, proc), 0);
    cola.sincronizar();
    hw().AudioDeviceDestroyIOProcID(agregado, proc);
    hw().AudioHardwareDestroyAggregateDevice(agregado);
    hw().AudioHardwareDestroyProcessTap(tap);

    const int d0 = dispositivos.load();
    const int o0 = defectos.load();
    arrancar();
    EXPECT_TRUE(esperarHasta([&] { return dispositivos.load() > d0 && defectos.load() > o0; }, 6000ms));
    const AudioObjectID despues = porDefecto();
    EXPECT_NE(despues, 0U);
    EXPECT_NE(despues, antes) << "a restarted server's sinks get new ids";
    std::uint32_t vivo = 1;
    ASSERT_EQ(leer(antes, kAudioDevicePropertyDeviceIsAlive, vivo), 0);
    EXPECT_EQ(vivo, 0U);
    oyentes.sincronizar();
}

TEST_F(ServidorPrivado, UnServidorQueNoContestaNoRetieneElHiloPrincipal) {
    const AudioObjectID a = porDefecto();
    ASSERT_NE(a, 0U);
    const pid_t servidor = std::stoi(salidaDe("cat " + dir_ + "/run/pulse/pid"));
    ASSERT_EQ(::kill(servidor, SIGSTOP), 0);
    AudioObjectID id = 0;
    const auto t0 = std::chrono::steady_clock::now();
    const OSStatus s = leer(kAudioObjectSystemObject, kAudioHardwarePropertyDefaultOutputDevice, id);
    const auto espera = std::chrono::steady_clock::now() - t0;
    ::kill(servidor, SIGCONT);
    EXPECT_NE(s, 0);
    EXPECT_LT(espera, 4s);
    // Once it answers again, so does the backend, with the same ids.
    EXPECT_TRUE(esperarHasta([&] {
        id = 0;
        return leer(kAudioObjectSystemObject, kAudioHardwarePropertyDefaultOutputDevice, id) == 0 && id == a;
    }));
}

TEST_F(ServidorPrivado, ElClienteSePresentaConElNombreDeLaAplicacion) {
    (void)porDefecto();
    const std::string clientes = salidaDe("pactl list clients");
    EXPECT_NE(clientes.find("application.name = \"" + std::string(infoCFBundleName()) + "\""),
              std::string::npos)
        << clientes;
    EXPECT_NE(clientes.find("application.id = \"" + std::string(infoCFBundleIdentifier()) + "\""),
              std::string::npos);
}

TEST(SinServidor, NoHaySalidaPorDefectoYNadaSeArranca) {
    ::setenv("PULSE_SERVER", "unix:/nonexistent/vkoido/native", 1);
    const auto t0 = std::chrono::steady_clock::now();
    auto hw = audioHardwareDelSistema();
    AudioObjectID id = 0;
    std::uint32_t tam = sizeof id;
    EXPECT_NE(
        hw->AudioObjectGetPropertyData(kAudioObjectSystemObject, {kAudioHardwarePropertyDefaultOutputDevice},
                                       0, nullptr, &tam, &id),
        0);
    EXPECT_LT(std::chrono::steady_clock::now() - t0, 2s);
}

}  // namespace
