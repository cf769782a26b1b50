// The track writer and the timeline, with fake clocks and a recording write function.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <cmath>
#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "AudioHardwareDoble.h"
#include "Ayudas.h"
#include "Corrida.h"
#include "TapWriter.h"

namespace {

void entregar(TapWriter& w, std::vector<float> muestras, std::uint32_t canales) {
    AudioBufferList l;
    l.mNumberBuffers = 1;
    l.mBuffers[0] = {canales, static_cast<std::uint32_t>(muestras.size() * sizeof(float)), muestras.data()};
    w.handle(l);
}

// `segundos` of a sine at `hz` on the left channel (and on the right when `ambos`), in 10 ms cycles.
void entregarSeno(TapWriter& w, double hz, double amplitud, double segundos, bool ambos = true,
                  double tasa = 48000) {
    const auto porCiclo = static_cast<std::uint32_t>(tasa / 100);
    std::uint64_t i = 0;
    for (int c = 0; c < static_cast<int>(segundos * 100); ++c) {
        std::vector<float> m(porCiclo * 2);
        for (std::uint32_t k = 0; k < porCiclo; ++k, ++i) {
            const auto v =
                static_cast<float>(amplitud * std::sin(2 * M_PI * hz * static_cast<double>(i) / tasa));
            m[2 * k] = v;
            m[2 * k + 1] = ambos ? v : 0.0F;
        }
        entregar(w, m, 2);
    }
}

double rms(const std::vector<float>& m, std::size_t desde) {
    double s = 0;
    for (std::size_t i = desde; i < m.size(); ++i)
        s += static_cast<double>(m[i]) * m[i];
    return std::sqrt(s / static_cast<double>(m.size() - desde));
}

std::int64_t escritos(TapWriter& w) {
    std::lock_guard<std::mutex> g(w.lock);
    return w.framesWritten;
}

}  // namespace

TEST(TapWriter, CapacidadDeSalida) {
    EXPECT_EQ(TapWriter::capacidadDeSalida(512, 48000), 1194U);
    EXPECT_EQ(TapWriter::capacidadDeSalida(480, 48000), 1184U);
    EXPECT_EQ(TapWriter::capacidadDeSalida(441, 44100), 1184U);
    EXPECT_EQ(TapWriter::capacidadDeSalida(0, 48000), 1024U);
    EXPECT_FALSE(TapWriter::capacidadDeSalida(480, 0));
    EXPECT_FALSE(TapWriter::capacidadDeSalida(480, std::nan("")));
    EXPECT_FALSE(TapWriter::capacidadDeSalida(4000000000U, 1));
}

TEST(TapWriter, ConvierteA16kMonoConservandoFrecuenciaYNivel) {
    RelojFalso r;
    Grabadora g;
    auto w = nuevoWriter(r, g);
    entregarSeno(*w, 1000, 0.5, 1.0);
    const auto& m = g.muestras;
    ASSERT_GT(m.size(), 15000U);
    const double nivel = 20 * std::log10(rms(m, 2000) * std::sqrt(2.0) / 0.5);
    EXPECT_LT(std::fabs(nivel), 0.1) << nivel << " dB";
    // Frequency from the upward zero crossings over whole periods.
    std::vector<std::size_t> cruces;
    for (std::size_t i = 2001; i < m.size(); ++i)
        if (m[i - 1] < 0 && m[i] >= 0) cruces.push_back(i);
    ASSERT_GT(cruces.size(), 100U);
    const double hz = 16000.0 * static_cast<double>(cruces.size() - 1) /
                      static_cast<double>(cruces.back() - cruces.front());
    EXPECT_NEAR(hz, 1000.0, 0.5);
    {
        std::lock_guard<std::mutex> l(w->lock);
        EXPECT_EQ(w->ioCalls, 100);
        EXPECT_EQ(w->framesIn, 48000);
        EXPECT_EQ(w->framesWritten, static_cast<std::int64_t>(m.size()));
    }
}

TEST(TapWriter, UnTonoPorEncimaDeNyquistQuedaAtenuado) {
    RelojFalso r;
    Grabadora g;
    auto w = nuevoWriter(r, g);
    entregarSeno(*w, 10000, 0.5, 1.0);
    const double nivel = 20 * std::log10(rms(g.muestras, 2000) * std::sqrt(2.0) / 0.5);
    EXPECT_LT(nivel, -90.0);
}

// The down-mix averages: a tone on one channel only comes out at half its level.
TEST(TapWriter, LaMezclaPromediaLosCanales) {
    RelojFalso r;
    Grabadora g;
    auto w = nuevoWriter(r, g);
    entregarSeno(*w, 1000, 0.5, 0.5, false);
    EXPECT_NEAR(rms(g.muestras, 2000) * std::sqrt(2.0), 0.25, 0.01);
}

TEST(TapWriter, ElPicoSeGuardaHastaQueSeBorra) {
    RelojFalso r;
    Grabadora g;
    auto w = nuevoWriter(r, g, 16000, 1);  // same rate: the converter passes samples through
    std::vector<float> m(1600, 0.0F);
    m[800] = -0.75F;
    for (int i = 0; i < 3; ++i)
        entregar(*w, m, 1);
    {
        std::lock_guard<std::mutex> l(w->lock);
        EXPECT_NEAR(w->peak, 0.75F, 0.02F);
        w->peak = 0;
    }
    std::vector<float> bajo(1600, 0.1F);
    entregar(*w, bajo, 1);
    std::lock_guard<std::mutex> l(w->lock);
    EXPECT_LT(w->peak, 0.2F);
}

TEST(TapWriter, UnaListaQueNoCasaConElFormatoNoSeCuenta) {
    RelojFalso r;
    Grabadora g;
    auto w = nuevoWriter(r, g);
    std::vector<float> m(480 * 2);
    AudioBufferList l;
    l.mNumberBuffers = 2;  // non-interleaved, but the format is interleaved
    l.mBuffers[0] = {1, 480 * 4, m.data()};
    l.mBuffers[1] = {1, 480 * 4, m.data() + 480};
    w->handle(l);
    l.mNumberBuffers = 1;
    l.mBuffers[0] = {2, 7, m.data()};  // not whole frames
    w->handle(l);
    std::lock_guard<std::mutex> k(w->lock);
    EXPECT_EQ(w->ioCalls, 0);
    EXPECT_EQ(w->framesIn, 0);
}

TEST(TapWriter, UnaListaVaciaAntesDelAudioNoCierraElConversor) {
    // First on a new converter (at the start, or after a rebuild at another rate): an empty list
    // must not pass for the end of the stream, and the audio after it is converted as usual.
    RelojFalso r;
    Grabadora g;
    auto w = nuevoWriter(r, g);
    entregar(*w, {}, 2);
    entregarSeno(*w, 1000, 0.5, 0.5);
    entregar(*w, {}, 2);
    entregarSeno(*w, 1000, 0.5, 0.5);
    EXPECT_GT(g.muestras.size(), 15000U);
    EXPECT_GT(rms(g.muestras, 2000), 0.3);
}

TEST(TapWriter, ReconfigureSoloConOtraTasaOCanales) {
    RelojFalso r;
    Grabadora g;
    auto w = nuevoWriter(r, g);
    EXPECT_EQ(w->entrega(), (Linea{{"framesIn", 0}, {"rate", 48000.0}, {"padded", 0.0}}));
    auto separado = formatoFloatEntrelazado(48000, 2);
    separado.mFormatFlags |= kAudioFormatFlagIsNonInterleaved;
    separado.mBytesPerFrame = separado.mBytesPerPacket = 4;
    EXPECT_FALSE(w->reconfigure(*FormatoDeAudio::desdeDescripcion(separado)));
    const auto f44 = *FormatoDeAudio::desdeDescripcion(formatoFloatEntrelazado(44100, 2));
    EXPECT_TRUE(w->reconfigure(f44));
    EXPECT_FALSE(w->reconfigure(f44));
    EXPECT_EQ(w->entrega()["rate"], 44100.0);
}

TEST(Timeline, RellenoPorEncimaDeUnCuartoDeSegundo) {
    RelojFalso r;
    Grabadora g;
    auto w = nuevoWriter(r, g);
    w->padTo(4000.5 / 16000);
    EXPECT_TRUE(g.trozos.empty());
    w->padTo(4001.5 / 16000);
    EXPECT_EQ(g.trozos, std::vector<std::uint32_t>{4001});
    w->padTo((4001 + 40000.5) / 16000);
    EXPECT_EQ(g.trozos, (std::vector<std::uint32_t>{4001, 16000, 16000, 8000}));
    std::lock_guard<std::mutex> l(w->lock);
    EXPECT_EQ(w->framesWritten, 44001);
    EXPECT_EQ(w->framesPadded, 44001);
}

TEST(Timeline, UnObjetivoPorDetrasSoloRenuevaElLatido) {
    RelojFalso r;
    Grabadora g;
    auto w = nuevoWriter(r, g);
    r.continuo = 1010;
    w->padTo(-3);
    w->padTo(std::nan(""));
    w->padTo(1e300);
    EXPECT_TRUE(g.trozos.empty());
    std::lock_guard<std::mutex> l(w->lock);
    EXPECT_EQ(w->latido, 1010);
    EXPECT_FALSE(w->corte);
}

TEST(Timeline, UmbralesDeCorte) {
    struct Caso {
        double avance, sueno;
        bool corta;
    } casos[] = {{2.0, 0.9, false}, {2.0, 1.0, true}, {30.0, 0.0, false}, {30.001, 0.2, true}};
    for (const auto& c : casos) {
        RelojFalso r;
        Grabadora g;
        auto w = nuevoWriter(r, g);
        r.continuo = r.continuo + c.avance;
        r.dormida = r.dormida + c.sueno;
        w->padTo(c.avance - 0.5);
        std::lock_guard<std::mutex> l(w->lock);
        EXPECT_EQ(w->corte.has_value(), c.corta) << c.avance << " " << c.sueno;
        EXPECT_EQ(w->file == nullptr, c.corta);
        if (c.corta) {
            EXPECT_NEAR(w->corte->dormida, c.sueno, 1e-9);
            EXPECT_TRUE(g.trozos.empty());  // the slept time is never filled
        } else {
            EXPECT_EQ(w->framesPadded, static_cast<std::int64_t>((c.avance - 0.5) * 16000));
        }
    }
}

// Two minutes asleep between ticks: cut, nothing more written whatever comes after.
TEST(Timeline, TrasElCorteNadaMasSeEscribe) {
    RelojFalso r;
    Grabadora g;
    auto w = nuevoWriter(r, g);
    entregarSeno(*w, 1000, 0.5, 0.2);
    const auto antes = escritos(*w);
    const double latido = w->latido;
    r.continuo = r.continuo + 120;
    r.dormida = r.dormida + 119.5;
    entregarSeno(*w, 1000, 0.5, 0.2);  // the write queue sees it first
    r.continuo = r.continuo + 5;
    w->padTo(130);
    entregarSeno(*w, 1000, 0.5, 0.2);
    std::lock_guard<std::mutex> l(w->lock);
    ASSERT_TRUE(w->corte);
    EXPECT_GE(w->corte->hueco, 120);
    EXPECT_EQ(w->corte->dormida, 119.5);
    EXPECT_EQ(w->framesWritten, antes);
    EXPECT_EQ(w->latido, latido);
    EXPECT_EQ(w->ioCalls, 20);
}

TEST(Timeline, UnFalloEnMedioDelRellenoCuentaSoloLoEscrito) {
    RelojFalso r;
    Grabadora g;
    g.fallarDesde = 1;
    auto w = nuevoWriter(r, g);
    w->padTo(2.5);
    w->padTo(5.0);
    entregarSeno(*w, 1000, 0.5, 0.1);  // nothing is taken after the failure
    std::lock_guard<std::mutex> l(w->lock);
    EXPECT_EQ(w->ioCalls, 0);
    EXPECT_EQ(w->framesIn, 0);
    EXPECT_EQ(w->framesWritten, 16000);
    EXPECT_EQ(w->framesPadded, 16000);
    EXPECT_EQ(w->falloDeEscritura, "disco lleno 2");  // the first error stays
    EXPECT_EQ(w->file, nullptr);
}

namespace {

// A tick harness: the driver's state over the double, lines and notes captured.
struct Ticks : EventosCapturados {
    AudioHardwareDoble hw;
    ColaSerie cola{"prueba"};
    RelojFalso r;
    Grabadora g;
    EstadoDeCorrida e{hw, nuevoWriter(r, g), cola, std::nullopt, 0, false};
};

}  // namespace

TEST(Reportes, UnCorteSeAvisaUnaVez) {
    Ticks t;
    t.r.continuo = t.r.continuo + 40;
    for (int i = 0; i < 4; ++i)
        tick(t.e, 39.5);
    EXPECT_EQ(t.cuenta("cut"), 1);
    const auto l = t.lineas();
    EXPECT_EQ(l[0], (nlohmann::json{{"event", "cut"}, {"gap", 40.0}, {"asleep", 0.0}, {"seconds", 0.0}}));
    EXPECT_EQ(t.notas(),
              "[tap] hueco de 40 s con la Mac dormida 0 s: la pista se corta a los 0.0 s sin rellenar\n");
    EXPECT_EQ(l.size(), 5U);  // the cut, then a status line at every tick
}

TEST(Reportes, UnFalloDeEscrituraSeAvisaUnaVez) {
    Ticks t;
    t.g.fallarDesde = 1;
    for (int i = 1; i <= 4; ++i)
        tick(t.e, 1.5 * i);
    EXPECT_EQ(t.cuenta("write-failed"), 1);
    EXPECT_EQ(t.lineas()[0],
              (nlohmann::json{{"event", "write-failed"}, {"reason", "disco lleno 2"}, {"seconds", 1.0}}));
    EXPECT_EQ(t.notas(), "[tap] no se pudo escribir la pista a los 1.0 s: disco lleno 2\n");
    const auto estado = t.lineas().back();
    EXPECT_EQ(estado["seconds"], 1.0);
    EXPECT_EQ(estado["padded"], 1.0);
}

// A non-blocking pipe whose reader takes its time: every line arrives whole, in order, none
// glued to the next, and the writer never waits for the reader.
TEST(Reportes, LineasEnterasSobreUnaTuberiaNoBloqueante) {
    int p[2];
    ASSERT_EQ(::pipe2(p, O_NONBLOCK | O_CLOEXEC), 0);
    ASSERT_GT(::fcntl(p[1], F_SETPIPE_SZ, 4096), 0);
    const std::string relleno(150, 'x');
    dirigirEventos(p[1], p[1]);
    std::string leido;
    const auto leer = [&] {
        char buf[1000];  // less than a pipe's worth at a time: a slow reader
        const ssize_t n = ::read(p[0], buf, sizeof buf);
        if (n > 0) leido.append(buf, static_cast<std::size_t>(n));
    };
    for (int i = 0; i < 100; ++i) {
        emit(Linea{{"n", i}, {"relleno", relleno}});
        if (i % 10 == 0) leer();
    }
    for (int i = 0; i < 100; ++i) {
        vaciarEventos();
        leer();
    }
    dirigirEventos(1, 2);
    ::close(p[0]);
    ::close(p[1]);
    std::istringstream in(leido);
    int esperado = 0;
    for (std::string l; std::getline(in, l); ++esperado) {
        const auto j = nlohmann::json::parse(l, nullptr, false);
        ASSERT_FALSE(j.is_discarded()) << "torn line: " << l;
        EXPECT_EQ(j["n"], esperado);
    }
    EXPECT_EQ(esperado, 100);
}

// A reader that stops taking lines for a while: status lines past the bound are dropped whole,
// but the events and the final line the application acts on still arrive, whole and in order.
TEST(Reportes, UnLectorParadoPierdeEstadosPeroNoEventos) {
    int p[2];
    ASSERT_EQ(::pipe2(p, O_NONBLOCK | O_CLOEXEC), 0);
    ASSERT_GT(::fcntl(p[1], F_SETPIPE_SZ, 4096), 0);
    dirigirEventos(p[1], p[1]);
    const std::string relleno(150, 'x');
    for (int i = 0; i < 1000; ++i)
        emit(Linea{{"level", 0.5}, {"seconds", i}, {"relleno", relleno}});
    emit(Linea{{"event", "cut"}, {"gap", 31.0}, {"asleep", 0.0}, {"seconds", 999.0}});
    emit(Linea{{"path", "/tmp/pista.wav"}, {"seconds", 999.0}});
    std::string leido;
    for (int i = 0; i < 1000; ++i) {
        vaciarEventos();
        char buf[4096];
        const ssize_t n = ::read(p[0], buf, sizeof buf);
        if (n > 0) leido.append(buf, static_cast<std::size_t>(n));
    }
    dirigirEventos(1, 2);
    ::close(p[0]);
    ::close(p[1]);
    std::istringstream in(leido);
    std::vector<nlohmann::json> lineas;
    for (std::string l; std::getline(in, l);) {
        lineas.push_back(nlohmann::json::parse(l, nullptr, false));
        ASSERT_FALSE(lineas.back().is_discarded()) << "torn line: " << l;
    }
    ASSERT_GE(lineas.size(), 2U);
    EXPECT_LT(lineas.size(), 1002U);  // some status lines were dropped
    EXPECT_EQ(lineas[lineas.size() - 2].value("event", ""), "cut");
    EXPECT_EQ(lineas.back().value("path", ""), "/tmp/pista.wav");
}

// The writer's lock between the main thread and the write queue (run under TSan in CI).
TEST(Concurrencia, ElCandadoDelWriterEntreHilos) {
    RelojFalso r;
    Grabadora g;
    auto w = nuevoWriter(r, g);
    ColaSerie cola("prueba.escritura");
    w->usarCola(cola);
    std::vector<float> m(480 * 2, 0.25F);
    std::atomic<bool> seguir{true};
    std::thread productor([&] {
        while (seguir) {
            cola.encolar([&] { entregar(*w, m, 2); });
            std::this_thread::sleep_for(std::chrono::microseconds(500));
        }
    });
    const auto f44 = *FormatoDeAudio::desdeDescripcion(formatoFloatEntrelazado(44100, 2));
    const auto f48 = *FormatoDeAudio::desdeDescripcion(formatoFloatEntrelazado(48000, 2));
    for (int i = 0; i < 200; ++i) {
        r.continuo = r.continuo + 0.01;
        w->padTo(0);
        (void)w->entrega();
        {
            std::lock_guard<std::mutex> l(w->lock);
            w->peak = 0;
            w->converter->reiniciar();
        }
        w->reconfigure(i % 2 ? f44 : f48);
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    seguir = false;
    productor.join();
    cola.sincronizar();
    std::lock_guard<std::mutex> l(w->lock);
    EXPECT_GT(w->ioCalls, 0);
}

// A write that hangs (a frozen file system) holds up the write queue only: the main thread still
// takes the lock, pads (the silence goes to the queue, behind the audio) and reads the counters.
TEST(Concurrencia, UnaEscrituraDetenidaNoRetieneElHiloPrincipal) {
    RelojFalso r;
    std::mutex m;
    std::condition_variable cv;
    bool dentro = false;
    bool soltar = false;
    std::vector<std::uint32_t> trozos;
    const TapWriter::Escritura lenta = [&](ArchivoDePista&,
                                           const BufferPCM& b) -> std::optional<std::string> {
        std::unique_lock<std::mutex> l(m);
        trozos.push_back(b.frameLength());
        dentro = true;
        cv.notify_all();
        cv.wait(l, [&] { return soltar; });
        return std::nullopt;
    };
    const auto in = *FormatoDeAudio::desdeDescripcion(formatoFloatEntrelazado(48000, 2));
    const auto out = *FormatoDeAudio::estandar(16000, 1);
    std::string e;
    const std::string ruta = rutaTemporal();
    auto w = std::make_shared<TapWriter>(ArchivoDePista::crear(ruta, e), Conversor::crear(in, out), out, in,
                                         r.relojes(), lenta);
    std::filesystem::remove(ruta);
    ColaSerie cola("prueba.disco");
    w->usarCola(cola);
    cola.encolar([&] { entregar(*w, std::vector<float>(4800 * 2, 0.25F), 2); });
    const auto liberar = [&] {
        const std::lock_guard<std::mutex> l(m);
        soltar = true;
        cv.notify_all();
    };
    {
        std::unique_lock<std::mutex> l(m);
        cv.wait(l, [&] { return dentro; });
    }
    const bool libre = w->lock.try_lock();
    if (libre) w->lock.unlock();
    if (!libre) liberar();
    ASSERT_TRUE(libre) << "the lock is held across the file write";

    w->padTo(2.0);
    {
        const std::lock_guard<std::mutex> g(w->lock);
        EXPECT_EQ(w->framesWritten, 0);
        EXPECT_EQ(w->framesEnCamino, 32000);  // the audio being written, and the silence decided
    }
    EXPECT_EQ(w->entrega()["padded"], 0.0);
    liberar();
    cola.sincronizar();
    const std::lock_guard<std::mutex> g(w->lock);
    EXPECT_EQ(w->framesWritten, 32000);
    EXPECT_EQ(w->framesEnCamino, 0);
    const std::lock_guard<std::mutex> l(m);
    ASSERT_EQ(trozos.size(), 3U);
    EXPECT_GT(trozos[0], 0U);  // the audio first, then the silence in chunks of a second at most
    EXPECT_EQ(trozos[1], 16000U);
    EXPECT_EQ(w->framesPadded, 32000 - trozos[0]);
}
