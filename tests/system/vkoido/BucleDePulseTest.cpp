// The paced libpulse main loop on its own, with pipes standing in for the server's connection:
// how often it wakes, that it still drains what is ready piece by piece, and that a caller or a
// stop never waits for the pace.
#include "BucleDePulse.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <thread>

namespace {

using namespace std::chrono_literals;
using Reloj = std::chrono::steady_clock;

// A pipe the loop watches; the callback reads at most `porVuelta` bytes a turn.
struct Tubo {
    int fds[2]{-1, -1};
    std::size_t porVuelta = 4096;
    std::atomic<int> vueltas{0};
    std::atomic<int> leidos{0};
    pa_io_event* evento = nullptr;

    Tubo() { EXPECT_EQ(pipe2(fds, O_NONBLOCK | O_CLOEXEC), 0); }
    ~Tubo() {
        close(fds[0]);
        close(fds[1]);
    }
    void vigilar(BucleDePulse& bucle) {
        bucle.bloquear();
        pa_mainloop_api* api = bucle.api();
        evento = api->io_new(api, fds[0], PA_IO_EVENT_INPUT, &Tubo::alLeer, this);
        bucle.desbloquear();
    }
    void olvidar(BucleDePulse& bucle) {
        bucle.bloquear();
        bucle.api()->io_free(evento);
        bucle.desbloquear();
    }
    void escribir(std::size_t n) {
        const std::string datos(n, 'x');
        ASSERT_EQ(write(fds[1], datos.data(), n), static_cast<ssize_t>(n));
    }
    static void alLeer(pa_mainloop_api*, pa_io_event*, int fd, pa_io_event_flags_t, void* yo) {
        auto* t = static_cast<Tubo*>(yo);
        char b[4096];
        const ssize_t n = read(fd, b, std::min(sizeof b, t->porVuelta));
        ++t->vueltas;
        if (n > 0) t->leidos += static_cast<int>(n);
    }
};

template <typename Cond>
bool esperarHasta(Cond cond, std::chrono::milliseconds limite) {
    const auto fin = Reloj::now() + limite;
    while (!cond()) {
        if (Reloj::now() > fin) return false;
        std::this_thread::sleep_for(1ms);
    }
    return true;
}

// A loop watching a pipe that has just woken once, so that its next sleep is paced.
struct RecienDespierto {
    BucleDePulse bucle;
    Tubo t;
    explicit RecienDespierto(std::chrono::milliseconds ritmo) : bucle(ritmo) {
        EXPECT_TRUE(bucle.arrancar("prueba"));
        t.vigilar(bucle);
        t.escribir(1);
        EXPECT_TRUE(esperarHasta([&] { return t.leidos == 1; }, ritmo + 1000ms));
        std::this_thread::sleep_for(20ms);
    }
    ~RecienDespierto() { t.olvidar(bucle); }
    RecienDespierto(const RecienDespierto&) = delete;
    RecienDespierto& operator=(const RecienDespierto&) = delete;
};

TEST(BucleDePulse, DespiertaAlRitmoYNoPierdeNada) {
    BucleDePulse bucle(50ms);
    ASSERT_TRUE(bucle.arrancar("prueba"));
    Tubo t;
    t.vigilar(bucle);
    // A byte every 2 ms for a second: five hundred pieces, as a server hands them over.
    for (int i = 0; i < 500; ++i) {
        t.escribir(1);
        std::this_thread::sleep_for(2ms);
    }
    EXPECT_TRUE(esperarHasta([&] { return t.leidos == 500; }, 500ms)) << t.leidos;
    // About twenty wake-ups in the second; unpaced it would be hundreds.
    EXPECT_LE(t.vueltas, 40);
    t.olvidar(bucle);
}

TEST(BucleDePulse, LoQueEstaListoSeTomaPiezaAPiezaSinPausas) {
    BucleDePulse bucle(50ms);
    ASSERT_TRUE(bucle.arrancar("prueba"));
    Tubo t;
    t.porVuelta = 1;  // one piece a turn, as libpulse reads a connection without shared memory
    t.vigilar(bucle);
    t.escribir(1);
    ASSERT_TRUE(esperarHasta([&] { return t.leidos == 1; }, 500ms));
    const auto inicio = Reloj::now();
    t.escribir(200);
    ASSERT_TRUE(esperarHasta([&] { return t.leidos == 201; }, 2000ms)) << t.leidos;
    // At one pause a piece this would take ten seconds.
    EXPECT_LT(Reloj::now() - inicio, 300ms);
    t.olvidar(bucle);
}

TEST(BucleDePulse, QuienEsperaAlBucleNoEsperaAlRitmo) {
    RecienDespierto d(2000ms);
    BucleDePulse& bucle = d.bucle;

    // A question from the caller's side: a timer due at once, answered through avisar().
    const auto inicio = Reloj::now();
    bucle.bloquear();
    struct Respuesta {
        BucleDePulse* bucle;
        bool llego = false;
    } r{&bucle};
    pa_mainloop_api* api = bucle.api();
    timeval ya{};
    pa_time_event* e = api->time_new(
        api, &ya,
        [](pa_mainloop_api*, pa_time_event*, const timeval*, void* p) {
            auto* rr = static_cast<Respuesta*>(p);
            rr->llego = true;
            rr->bucle->avisar();
        },
        &r);
    while (!r.llego)
        bucle.esperar();
    api->time_free(e);
    bucle.desbloquear();
    EXPECT_LT(Reloj::now() - inicio, 200ms);
}

TEST(BucleDePulse, LasPreguntasDelBucleNoSeHacenEsperar) {
    RecienDespierto d(2000ms);
    BucleDePulse& bucle = d.bucle;
    Tubo& t = d.t;
    // With a question of its own out, the loop does not pause after a wake-up: what comes
    // next is taken at once.
    bucle.bloquear();
    bucle.preguntada();
    bucle.desbloquear();
    t.escribir(1);
    ASSERT_TRUE(esperarHasta([&] { return t.leidos == 2; }, 3000ms));
    std::this_thread::sleep_for(20ms);
    const auto inicio = Reloj::now();
    t.escribir(1);
    ASSERT_TRUE(esperarHasta([&] { return t.leidos == 3; }, 3000ms));
    EXPECT_LT(Reloj::now() - inicio, 200ms);
    bucle.bloquear();
    bucle.respondida();
    bucle.desbloquear();
}

TEST(BucleDePulse, ParaSinEsperarAlRitmo) {
    RecienDespierto d(10s);  // now in a ten-second pause
    const auto inicio = Reloj::now();
    d.bucle.parar();
    EXPECT_LT(Reloj::now() - inicio, 1s);
}

}  // namespace
