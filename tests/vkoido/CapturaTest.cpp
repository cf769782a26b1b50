// Capture assembly, teardown order and the output watch, against the double.
#include <gtest/gtest.h>

#include "Ayudas.h"
#include "Captura.h"
#include "Corrida.h"
#include "DeviceWatch.h"

namespace {

using Registro = std::vector<std::string>;

DispositivoDoble dispositivo(AudioObjectID id, const std::string& nombre, double tasa = 48000,
                             std::uint32_t transporte = kAudioDeviceTransportTypeBuiltIn) {
    DispositivoDoble d;
    d.id = id;
    d.uid = "uid-" + std::to_string(id);
    d.nombre = nombre;
    d.transporte = transporte;
    d.tasaNominal = tasa;
    d.formatoTap = formatoFloatEntrelazado(tasa, 2);
    return d;
}

struct Banco : EventosCapturados {
    AudioHardwareDoble hw;
    ColaSerie cola{"prueba.escritura"};
    RelojFalso r;
    Grabadora g;
    Banco() {
        hw.agregar(dispositivo(10, "Altavoces"));
        hw.agregar(dispositivo(11, "Cascos", 44100));
        hw.porDefecto(10);
    }
    std::optional<Captura> armar(FalloDeCaptura& f) { return armarCaptura(hw, Salida{10, "uid-10"}, f); }
};

// The driver's state with a started capture over device 10, and the watch registered.
struct Vigilancia : Banco {
    ColaPrincipal principal;
    std::shared_ptr<DeviceWatch> watch = DeviceWatch::registrar(hw, principal);
    EstadoDeCorrida e{hw, nuevoWriter(r, g), cola, std::nullopt, 0, false};
    Vigilancia() {
        FalloDeCaptura f;
        e.captura = arrancar(hw, *armar(f), e.writer, cola, f);
    }
    void paso(AudioObjectPropertySelector s, double ahora) {
        if (s != 0) hw.disparar(s);
        principal.vaciar();
        pasoDeVigilancia(e, *watch, ahora);
    }
    std::size_t llamadas() { return hw.registro().size(); }
};

Registro desde(const Registro& r, std::size_t i) {
    return Registro(r.begin() + static_cast<long>(i), r.end());
}

}  // namespace

TEST(Armado, DiccionarioYNotasSegunLaSalidaSeaVirtual) {
    Banco b;
    b.hw.agregar(dispositivo(12, "Nula", 48000, kAudioDeviceTransportTypeVirtual));
    FalloDeCaptura f;
    ASSERT_TRUE(armarCaptura(b.hw, Salida{12, "uid-12"}, f));
    b.hw.falloDeLectura(kAudioDevicePropertyTransportType, kAudioHardwareUnknownPropertyError);
    ASSERT_TRUE(armarCaptura(b.hw, Salida{10, "uid-10"}, f));

    const auto dic = b.hw.diccionarios();
    const auto descs = b.hw.descripciones();
    ASSERT_EQ(dic.size(), 2U);
    EXPECT_EQ(dic[0], (nlohmann::json{{"name", "Veskora Tap"},
                                      {"uid", dic[0]["uid"]},
                                      {"private", true},
                                      {"stacked", false},
                                      {"tapautostart", true},
                                      {"taps", {{{"drift", true}, {"uid", descs[0].UUID}}}}}));
    EXPECT_EQ(dic[1].size(), 8U);
    EXPECT_EQ(dic[1]["master"], "uid-10");
    EXPECT_EQ(dic[1]["subdevices"], (nlohmann::json{{{"uid", "uid-10"}}}));
    EXPECT_EQ(dic[1]["taps"][0]["uid"], descs[1].UUID);
    EXPECT_NE(dic[0]["uid"], dic[1]["uid"]);
    EXPECT_EQ(dic[0]["uid"].get<std::string>().size(), 36U);
    for (const auto& d : descs) {
        EXPECT_TRUE(d.isPrivate);
        EXPECT_EQ(d.muteBehavior, CATapUnmuted);
        EXPECT_TRUE(d.procesosExcluidos.empty());
    }
    EXPECT_EQ(b.notas(),
              "[tap] tap creado: 100\n"
              "[tap] agregado creado solo con el tap: la salida uid-12 es virtual\n"
              "[tap] formato: 48000 Hz, 2 canales\n"
              "[tap] tap creado: 101\n"
              "[tap] agregado creado sobre la salida uid-10\n"
              "[tap] formato: 48000 Hz, 2 canales\n");
}

TEST(Armado, FormatoConLaTasaNominalDelAgregado) {
    Banco b;
    b.hw.tasas(10, 48000, 44100);
    FalloDeCaptura f;
    auto c = b.armar(f);
    ASSERT_TRUE(c);
    auto esperado = formatoFloatEntrelazado(48000, 2);
    const auto& d = c->formato.streamDescription();
    EXPECT_EQ(std::memcmp(&d, &esperado, sizeof d), 0);

    for (const double nominal : {0.0, std::nan("")}) {
        b.hw.tasas(10, nominal, 44100);
        EXPECT_EQ(b.armar(f)->formato.sampleRate(), 44100);
    }
    b.hw.tasas(10, 48000, 44099.9);
    b.hw.falloDeLectura(kAudioDevicePropertyNominalSampleRate, -1);
    EXPECT_EQ(b.armar(f)->formato.sampleRate(), 44099.9);
    EXPECT_NE(b.notas().find("[tap] formato: 44099 Hz, 2 canales\n"), std::string::npos);
}

TEST(Armado, SalidaPorDefectoYNombre) {
    Banco b;
    EXPECT_EQ(salidaPorDefecto(b.hw)->uid, "uid-10");
    EXPECT_EQ(nombreDeSalida(b.hw, 11), "Cascos");
    EXPECT_EQ(nombreDeSalida(b.hw, 99), "salida desconocida");
    b.hw.falloDeLectura(kAudioDevicePropertyDeviceUID, -1);
    EXPECT_FALSE(salidaPorDefecto(b.hw));
    b.hw.falloDeLectura(kAudioDevicePropertyDeviceUID, 0);
    b.hw.porDefecto(0);
    EXPECT_FALSE(salidaPorDefecto(b.hw));
    b.hw.porDefecto(10);
    b.hw.falloDeLectura(kAudioHardwarePropertyDefaultOutputDevice, -1);
    EXPECT_FALSE(salidaPorDefecto(b.hw));
}

// Every failure: its sentence, and what was built destroyed in reverse order.
TEST(Armado, FallosYOrdenDeLimpieza) {
    const std::string tap = "AudioHardwareCreateProcessTap -> 100",
                      agr = "AudioHardwareCreateAggregateDevice -> 200";
    const std::string sinAgr = "AudioHardwareDestroyAggregateDevice 200",
                      sinTap = "AudioHardwareDestroyProcessTap 100";
    struct Caso {
        std::function<void(AudioHardwareDoble&)> preparar;
        std::string motivo;
        Registro registro;
    } casos[] = {
        {[](auto& h) { h.estado("AudioHardwareCreateProcessTap", -50); },
         "no se pudo crear el tap (OSStatus -50)",
         {"AudioHardwareCreateProcessTap -> -50"}},
        {[](auto& h) { h.estado("AudioHardwareCreateAggregateDevice", -1); },
         "no se pudo crear el dispositivo agregado (OSStatus -1)",
         {tap, "AudioHardwareCreateAggregateDevice -> -1", sinTap}},
        {[](auto& h) { h.idCero("AudioHardwareCreateAggregateDevice"); },
         "no se pudo crear el dispositivo agregado (OSStatus 0)",
         {tap, "AudioHardwareCreateAggregateDevice -> 0", sinTap}},
        {[](auto& h) { h.falloDeLectura(kAudioTapPropertyFormat, -1); },
         "no se pudo leer el formato del tap",
         {tap, agr, sinAgr, sinTap}},
        {[](auto& h) { h.estado("AudioDeviceCreateIOProcIDWithBlock", -10); },
         "no se pudo crear el IOProc (OSStatus -10)",
         {tap, agr, "AudioDeviceCreateIOProcIDWithBlock 200 -> -10", sinAgr, sinTap}},
        {[](auto& h) { h.estado("AudioDeviceStart", -20); },
         "no se pudo arrancar la captura (OSStatus -20)",
         {tap, agr, "AudioDeviceCreateIOProcIDWithBlock 200 -> 1", "AudioDeviceStart 200 1",
          "AudioDeviceStop 200 1", "cola drenada", "AudioDeviceDestroyIOProcID 200 1", sinAgr, sinTap}},
    };
    for (const auto& c : casos) {
        Banco b;
        c.preparar(b.hw);
        FalloDeCaptura f;
        auto armada = b.armar(f);
        if (armada) armada = arrancar(b.hw, *armada, nuevoWriter(b.r, b.g), b.cola, f);
        EXPECT_FALSE(armada);
        EXPECT_EQ(f.motivo, c.motivo);
        EXPECT_EQ(b.hw.registro(), c.registro);
    }
}

TEST(Armado, DesarmarParaDrenaYDestruyeEnOrden) {
    Banco b;
    FalloDeCaptura f;
    auto c = arrancar(b.hw, *b.armar(f), nuevoWriter(b.r, b.g), b.cola, f);
    ASSERT_TRUE(c);
    EXPECT_EQ(b.hw.entregarCiclo(std::vector<float>(960, 0.1F), 2), 1);
    const auto n = b.hw.registro().size();
    desarmar(b.hw, *c, b.cola);
    EXPECT_EQ(desde(b.hw.registro(), n),
              (Registro{"AudioDeviceStop 200 1", "cola drenada", "AudioDeviceDestroyIOProcID 200 1",
                        "AudioHardwareDestroyAggregateDevice 200", "AudioHardwareDestroyProcessTap 100"}));
}

TEST(Vigilancia, RegistraLosDosOyentesEnElObjetoDelSistema) {
    Vigilancia v;
    const auto r = v.hw.registro();
    EXPECT_EQ(r[0], "AudioObjectAddPropertyListenerBlock 1 dOut glob 0");
    EXPECT_EQ(r[1], "AudioObjectAddPropertyListenerBlock 1 dev# glob 0");
}

TEST(Vigilancia, CambioEnLaListaSinCambiarLaSalidaNoHaceNada) {
    Vigilancia v;
    const auto n = v.llamadas();
    const auto notas = v.notas();
    v.paso(kAudioHardwarePropertyDevices, 5);
    v.paso(0, 10);  // a capture is current: no retry
    EXPECT_EQ(v.llamadas(), n);
    EXPECT_EQ(v.notas(), notas);
    EXPECT_TRUE(v.lineas().empty());
}

TEST(Vigilancia, NuevaSalidaSeRehaceSinFormatChanged) {
    Vigilancia v;
    const auto n = v.llamadas();
    v.hw.porDefecto(11);
    v.paso(kAudioHardwarePropertyDefaultOutputDevice, 5);
    const auto r = desde(v.hw.registro(), n);
    ASSERT_GE(r.size(), 5U);
    EXPECT_EQ(Registro(r.begin(), r.begin() + 5),
              (Registro{"AudioDeviceStop 200 1", "cola drenada", "AudioDeviceDestroyIOProcID 200 1",
                        "AudioHardwareDestroyAggregateDevice 200", "AudioHardwareDestroyProcessTap 100"}));
    EXPECT_EQ(r.back(), "AudioDeviceStart 201 2");
    ASSERT_TRUE(v.e.captura);
    EXPECT_EQ(v.e.captura->salida.id, 11U);
    EXPECT_EQ(v.e.writer->entrega()["rate"], 44100.0);
    revisarFormato(v.e);
    EXPECT_EQ(
        v.lineas(),
        (std::vector<nlohmann::json>{
            {{"event", "output-changed"}, {"output", "Cascos"}, {"capturing", true}, {"rate", 44100.0}}}));
    EXPECT_NE(v.notas().find(
                  "[tap] la salida cambió a Cascos: tap y agregado rehechos, sigue en el mismo archivo\n"),
              std::string::npos);
}

TEST(Vigilancia, MismaSalidaQueYaNoVive) {
    Vigilancia v;
    v.hw.vivo(10, false);
    v.paso(kAudioHardwarePropertyDevices, 5);
    ASSERT_TRUE(v.e.captura);
    EXPECT_EQ(v.e.captura->salida.id, 10U);
    EXPECT_EQ(v.e.captura->agregadoID, 201U);
    EXPECT_EQ(v.cuenta("output-changed"), 1);
}

// Failed attempts: a note each, one line; retries 2 s apart; a success and a new failure give new lines.
TEST(Vigilancia, ReintentosTrasUnFallo) {
    Vigilancia v;
    v.hw.estado("AudioHardwareCreateProcessTap", -50);
    v.hw.porDefecto(11);
    v.paso(kAudioHardwarePropertyDefaultOutputDevice, 100);
    EXPECT_FALSE(v.e.captura);
    v.paso(0, 101.9);  // not yet due
    v.paso(0, 102.0);  // due
    v.hw.porDefecto(0);
    v.paso(0, 104.5);  // no default output: nothing, and the retry stays due
    v.paso(0, 104.6);
    const std::string fallo =
        "[tap] no se pudo seguir capturando desde Cascos: no se pudo crear el tap (OSStatus -50)\n";
    auto notas = v.notas();
    std::size_t intentos = 0;
    for (auto p = notas.find(fallo); p != std::string::npos; p = notas.find(fallo, p + 1))
        ++intentos;
    EXPECT_EQ(intentos, 2U);
    EXPECT_EQ(v.lineas(),
              (std::vector<nlohmann::json>{{{"event", "output-changed"},
                                            {"output", "Cascos"},
                                            {"capturing", false},
                                            {"reason", "no se pudo crear el tap (OSStatus -50)"}}}));
    v.hw.porDefecto(11);
    v.hw.estado("AudioHardwareCreateProcessTap", 0);
    v.paso(0, 104.7);  // still due since 102.0
    ASSERT_TRUE(v.e.captura);
    v.hw.estado("AudioHardwareCreateProcessTap", -50);
    v.hw.porDefecto(10);
    v.paso(kAudioHardwarePropertyDefaultOutputDevice, 105);
    const auto l = v.lineas();
    ASSERT_EQ(l.size(), 3U);
    EXPECT_EQ(l[1]["capturing"], true);
    EXPECT_EQ(l[2]["capturing"], false);
    EXPECT_EQ(l[2]["output"], "Altavoces");
}

TEST(Vigilancia, CambioDeTasaDelTapEnMarcha) {
    Vigilancia v;
    revisarFormato(v.e);
    EXPECT_TRUE(v.lineas().empty());
    v.hw.tasas(10, 44100, 44100);
    revisarFormato(v.e);
    revisarFormato(v.e);
    EXPECT_EQ(v.lineas(), (std::vector<nlohmann::json>{
                              {{"event", "format-changed"}, {"rate", 44100.0}, {"output", "Altavoces"}}}));
    EXPECT_NE(v.notas().find("[tap] la salida cambió a 44100 Hz, 2 canales: conversor rehecho\n"),
              std::string::npos);
}

// Audio the platform still holds for the capture is left out of the padding (a stall's kept
// audio, a late server); audio known to start later than now lets the padding reach the clock,
// however little later it starts.
TEST(Vigilancia, LoQueEstaEnCaminoNoSeRellena) {
    struct Caso {
        std::int32_t enVuelo;  // frames at 48 kHz
        std::int64_t rellenados;
    };
    // A target of 3 s is 3.5 s elapsed; a running capture waits a second more for late audio.
    // Audio due to start later is padded up to the clock, and up to its start when that comes
    // before the next tick.
    for (const Caso c : {Caso{0, 40000}, Caso{48000, 24000}, Caso{480000, 0}, Caso{-1, 56000},
                         Caso{-9600, 59200}, Caso{-12000, 56000}, Caso{-96000, 56000}}) {
        Vigilancia v;
        v.hw.enVuelo(10, c.enVuelo);
        tick(v.e, 3.0);
        std::lock_guard<std::mutex> g(v.e.writer->lock);
        EXPECT_EQ(v.e.writer->framesPadded, c.rellenados) << c.enVuelo;
    }
}
