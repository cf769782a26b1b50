// The whole program against the scripted double: fatal lines, the limit, signals, the stream.
#include <gtest/gtest.h>
#include <signal.h>
#include <sndfile.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>
#include <thread>

#include "LineaDeOrdenes.h"
#include "Proceso.h"

namespace {

namespace fs = std::filesystem;

const std::string kUnDispositivo =
    R"({"dispositivos":[{"id":10,"uid":"altavoces","nombre":"Altavoces","tasa":48000}],"porDefecto":10)";

std::string guion(const std::string& resto = "") {
    return "VKOIDO_DOBLE=" + kUnDispositivo + resto + "}";
}

struct Dir {
    fs::path p = fs::temp_directory_path() /
                 ("vkoido-" + std::to_string(getpid()) + "-" +
                  std::to_string(std::chrono::steady_clock::now().time_since_epoch().count()));
    Dir() { fs::create_directories(p); }
    ~Dir() { fs::remove_all(p); }
    std::string operator/(const std::string& n) const { return (p / n).string(); }
};

std::vector<nlohmann::json> lineas(const std::string& out) {
    std::vector<nlohmann::json> r;
    std::istringstream in(out);
    for (std::string l; std::getline(in, l);)
        r.push_back(nlohmann::json::parse(l));
    return r;
}

std::string ultimaLinea(const std::string& t) {
    if (t.empty()) return t;
    const auto fin = t.size() - 1;
    const auto ini = t.rfind('\n', fin - 1);
    return t.substr(ini == std::string::npos ? 0 : ini + 1);
}

Resultado doble(const std::vector<std::string>& args, const std::string& entorno,
                const std::function<void(pid_t)>& mientras = {}) {
    return ejecutar(VKOIDO_DOBLE_BIN, args, {}, {entorno}, mientras);
}

}  // namespace

TEST(LineaDeOrdenes, SinArgumentosDaElUsoYEstado1) {
    for (const char* bin : {VKOIDO_BIN, VKOIDO_DOBLE_BIN}) {
        const Resultado s = ejecutar(bin, {});
        EXPECT_EQ(s.err, "vkoido: uso: vkoido <salida.wav> [--seconds N]\n");
        EXPECT_EQ(s.out, "");
        EXPECT_EQ(s.estado, 1);
    }
}

// The limit's forms, including those that mean none (a nan limit is never reached).
TEST(LineaDeOrdenes, FormasDelLimite) {
    const auto limite = [](std::vector<const char*> a) {
        return limiteDeSegundos(static_cast<int>(a.size()), a.data());
    };
    for (const char* n : {"2.5", "25e-1", "0x1.4p1", "+2.5"})
        EXPECT_EQ(limite({"vkoido", "t.wav", "--seconds", n}), 2.5);
    for (const char* n : {"", " 5", "\t5", "abc", "5s", "5 "})
        EXPECT_FALSE(limite({"vkoido", "t.wav", "--seconds", n}));
    EXPECT_FALSE(limite({"vkoido", "t.wav"}));
    EXPECT_FALSE(limite({"vkoido", "t.wav", "--seconds"}));
    EXPECT_TRUE(std::isnan(*limite({"vkoido", "t.wav", "--seconds", "nan"})));
    EXPECT_EQ(limite({"vkoido", "t.wav", "--seconds", "-3"}), -3);
    // The track path may itself read "--seconds"; the first occurrence is the option.
    EXPECT_EQ(limite({"vkoido", "--seconds", "5", "--seconds", "7"}), 5);
    EXPECT_EQ(limite({"vkoido", "t.wav", "--seconds", "1", "--seconds", "7"}), 1);
}

// Every fatal condition: its line last on standard error, nothing on standard output, status 1.
TEST(Arranque, CadaCondicionFatalTieneSuLinea) {
    Dir d;
    const std::string pista = d / "t.wav";
    struct Caso {
        std::string entorno;
        std::string ruta;
        std::string linea;
    } casos[] = {
        {"VKOIDO_DOBLE={}", pista, "vkoido: no hay una salida de audio por defecto\n"},
        {guion(R"(,"fallosDeLectura":{"uid ":-1})"), pista,
         "vkoido: no hay una salida de audio por defecto\n"},
        {guion(R"(,"estados":{"AudioHardwareCreateProcessTap":-50})"), pista,
         "vkoido: no se pudo crear el tap (OSStatus -50)\n"},
        {guion(R"(,"idCero":["AudioHardwareCreateProcessTap"])"), pista,
         "vkoido: no se pudo crear el tap (OSStatus 0)\n"},
        {guion(R"(,"estados":{"AudioHardwareCreateAggregateDevice":1852797029})"), pista,
         "vkoido: no se pudo crear el dispositivo agregado (OSStatus 1852797029)\n"},
        {guion(R"(,"fallosDeLectura":{"tfmt":-1})"), pista, "vkoido: no se pudo leer el formato del tap\n"},
        {guion(R"(,"estados":{"AudioDeviceCreateIOProcIDWithBlock":-10})"), pista,
         "vkoido: no se pudo crear el IOProc (OSStatus -10)\n"},
        {guion(R"(,"estados":{"AudioDeviceStart":-20})"), pista,
         "vkoido: no se pudo arrancar la captura (OSStatus -20)\n"},
        {guion(), d / "no/existe/t.wav", "vkoido: no se pudo crear " + (d / "no/existe/t.wav") + "\n"},
        {guion(), "/proc/vkoido-t.wav", "vkoido: no se pudo crear /proc/vkoido-t.wav\n"},
        {"VKOIDO_DOBLE=" +
             std::string(R"({"dispositivos":[{"id":10,"tasa":0,"tasaTap":0}],"porDefecto":10})"),
         pista, "vkoido: no se pudo preparar la conversión a 16 kHz mono\n"},
    };
    for (const auto& c : casos) {
        const Resultado r = doble({c.ruta, "--seconds", "5"}, c.entorno);
        EXPECT_EQ(ultimaLinea(r.err), c.linea) << c.entorno;
        EXPECT_EQ(r.out, "") << c.entorno;
        EXPECT_EQ(r.estado, 1) << c.entorno;
    }
}

TEST(Limite, CeroOMenosDaSoloElArranqueYElFinal) {
    Dir d;
    for (const char* n : {"0", "-1"}) {
        const Resultado r = doble({d / "t.wav", "--seconds", n}, guion());
        ASSERT_EQ(r.estado, 0);
        const auto l = lineas(r.out);
        ASSERT_EQ(l.size(), 2U) << r.out;
        EXPECT_EQ(l[0], (nlohmann::json{{"event", "started"}, {"output", "Altavoces"}}));
        EXPECT_EQ(l[1]["path"], d / "t.wav");
        EXPECT_LT(l[1]["seconds"].get<double>(), 0.1);
    }
}

TEST(Limite, FormaHexadecimalDuraDosSegundosYMedio) {
    Dir d;
    const auto t0 = std::chrono::steady_clock::now();
    const Resultado r = doble({d / "t.wav", "--seconds", "0x1.4p1"}, guion());
    const double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    EXPECT_EQ(r.estado, 0);
    EXPECT_GE(s, 2.5);
    EXPECT_LT(s, 4.0);
}

// An unusable N is no limit: the run lasts until the signal.
TEST(Limite, ValorInservibleNoLimita) {
    Dir d;
    for (const char* n : {"5s", "nan"}) {
        const Resultado r = doble({d / "t.wav", "--seconds", n}, guion(), [](pid_t p) {
            std::this_thread::sleep_for(std::chrono::milliseconds(700));
            kill(p, SIGTERM);
        });
        EXPECT_EQ(r.estado, 0) << n;
        EXPECT_NE(r.err.find("detenido: "), std::string::npos) << n;
    }
}

// A signal stops in order; a second one during the stop changes nothing.
TEST(Senales, IntYTermParanConLasNotasYElFinal) {
    for (const int senal : {SIGINT, SIGTERM}) {
        Dir d;
        const Resultado r =
            doble({d / "t.wav"}, guion(R"(,"alimentar":{"cadaMs":10,"tono":1000,"amplitud":0.5})"),
                  [senal](pid_t p) {
                      std::this_thread::sleep_for(std::chrono::milliseconds(1300));
                      kill(p, senal);
                      kill(p, senal);
                  });
        ASSERT_EQ(r.estado, 0) << r.err;
        const auto l = lineas(r.out);
        ASSERT_GE(l.size(), 3U);
        const auto& final = l.back();
        EXPECT_EQ(final.size(), 2U);
        EXPECT_EQ(final["path"], d / "t.wav");
        const double segundos = final["seconds"].get<double>();
        EXPECT_GT(segundos, 0.5);
        char nota[64];
        std::snprintf(nota, sizeof nota, "[tap] detenido: %.1fs capturados\n", segundos);
        EXPECT_NE(r.err.find(nota), std::string::npos) << r.err;
        EXPECT_EQ(ultimaLinea(r.err).rfind("[tap] diagnóstico: IOProc llamado ", 0), 0U) << r.err;

        // The track holds what the final line says, as 16 kHz mono 16-bit PCM WAV.
        SF_INFO info{};
        SNDFILE* f = sf_open((d / "t.wav").c_str(), SFM_READ, &info);
        ASSERT_NE(f, nullptr);
        EXPECT_EQ(info.samplerate, 16000);
        EXPECT_EQ(info.channels, 1);
        EXPECT_EQ(info.format, SF_FORMAT_WAV | SF_FORMAT_PCM_16);
        EXPECT_NEAR(static_cast<double>(info.frames) / 16000.0, segundos, 1e-9);
        sf_close(f);
    }
}

TEST(Flujo, LineasDeEstadoCuatroPorSegundoConSusCincoClaves) {
    Dir d;
    const Resultado r = doble({d / "t.wav", "--seconds", "3"},
                              guion(R"(,"alimentar":{"cadaMs":10,"tono":1000,"amplitud":0.5})"));
    ASSERT_EQ(r.estado, 0);
    const auto l = lineas(r.out);
    int estados = 0;
    for (const auto& x : l) {
        if (!x.contains("level")) continue;
        ++estados;
        std::vector<std::string> claves;
        for (const auto& [k, v] : x.items())
            claves.push_back(k);
        std::sort(claves.begin(), claves.end());
        EXPECT_EQ(claves, (std::vector<std::string>{"framesIn", "level", "padded", "rate", "seconds"}));
        EXPECT_EQ(x["rate"], 48000.0);
    }
    // The loop wakes at each tick's deadline: twelve in three seconds, not one per third turn.
    EXPECT_GE(estados, 11);
    EXPECT_LE(estados, 13);
    // A 0.5 sine comes through at its level once audio flows.
    EXPECT_NEAR(l[l.size() - 2]["level"].get<double>(), 0.5, 0.02);
    EXPECT_EQ(r.err.rfind("[tap] tap creado: 100\n[tap] agregado creado sobre la salida altavoces\n"
                          "[tap] formato: 48000 Hz, 2 canales\n",
                          0),
              0U)
        << r.err;
}

// A new default output of another rate mid-run: one output-changed line, no format-changed.
TEST(Flujo, CambioDeSalidaSigueEnElMismoArchivo) {
    Dir d;
    const Resultado r =
        doble({d / "t.wav", "--seconds", "1.6"},
              "VKOIDO_DOBLE=" +
                  std::string(R"({"dispositivos":[{"id":10,"uid":"a","nombre":"Altavoces"},)"
                              R"({"id":11,"uid":"b","nombre":"Cascos","tasa":44100}],"porDefecto":10,)"
                              R"("alimentar":{"cadaMs":10,"tono":440,"amplitud":0.3},)"
                              R"("eventos":[{"en":0.6,"porDefecto":11,"disparar":["dOut"]}]})"));
    ASSERT_EQ(r.estado, 0);
    int cambios = 0;
    for (const auto& x : lineas(r.out)) {
        EXPECT_NE(x.value("event", ""), "format-changed");
        if (x.value("event", "") == "output-changed") {
            ++cambios;
            EXPECT_EQ(x, (nlohmann::json{{"event", "output-changed"},
                                         {"output", "Cascos"},
                                         {"capturing", true},
                                         {"rate", 44100.0}}));
        }
    }
    EXPECT_EQ(cambios, 1);
    EXPECT_NE(
        r.err.find("[tap] la salida cambió a Cascos: tap y agregado rehechos, sigue en el mismo archivo\n"),
        std::string::npos);
}

// The header follows the track at every tick: a killed run still leaves what it wrote playable.
TEST(Pista, UnaEjecucionMatadaDejaLaPistaLegible) {
    Dir d;
    const Resultado r =
        doble({d / "t.wav"}, guion(R"(,"alimentar":{"cadaMs":10,"tono":1000,"amplitud":0.5})"), [](pid_t p) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1500));
            kill(p, SIGKILL);
        });
    EXPECT_EQ(r.estado, 128 + SIGKILL);
    // The header itself says how much audio there is (a reader need not guess from the size).
    std::ifstream f(d / "t.wav", std::ios::binary);
    std::string wav((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
    const auto dato = wav.find("data");
    ASSERT_NE(dato, std::string::npos);
    std::uint32_t declarado = 0;
    std::memcpy(&declarado, wav.data() + dato + 4, 4);
    const std::size_t presente = wav.size() - dato - 8;
    EXPECT_GT(declarado, 16000U);  // more than half a second
    EXPECT_LE(declarado, presente);
    EXPECT_GE(declarado + 16000, presente);  // at most about one tick behind
}

TEST(Ejecutable, LlevaSuListaDePropiedadesEnUnaSeccionPropia) {
    Dir d;
    const Resultado r =
        ejecutar("/usr/bin/objcopy",
                 {"--dump-section", ".vkoido_info_plist=" + (d / "info.plist"), VKOIDO_BIN, d / "copia"});
    ASSERT_EQ(r.estado, 0) << r.err;
    std::ifstream f(d / "info.plist");
    std::stringstream s;
    s << f.rdbuf();
    const std::string plist = s.str();
    EXPECT_EQ(plist.rfind("<?xml", 0), 0U);
    EXPECT_EQ(plist.back(), '\n');  // the document alone, no terminating NUL
    for (const char* parte : {"<key>CFBundleIdentifier</key>\n\t<string>com.veskora.vkoido</string>",
                              "<key>CFBundleName</key>\n\t<string>Veskora Audio Tap</string>",
                              "<key>NSAudioCaptureUsageDescription</key>\n\t<string>Para transcribir lo que "
                              "dicen los demás en la "
                              "llamada. Todo se procesa en esta Mac.</string>"})
        EXPECT_NE(plist.find(parte), std::string::npos) << parte;
}
