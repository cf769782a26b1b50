#include "BucleDePulse.h"

#include <pthread.h>

#include <algorithm>

BucleDePulse::BucleDePulse(std::chrono::milliseconds ritmo) : bucle_(pa_mainloop_new()), ritmo_(ritmo) {
    if (bucle_ != nullptr) pa_mainloop_set_poll_func(bucle_, &BucleDePulse::sondear, this);
}

BucleDePulse::~BucleDePulse() {
    if (hilo_.joinable()) parar();
    if (bucle_ != nullptr) pa_mainloop_free(bucle_);
}

bool BucleDePulse::arrancar(const char* nombre) {
    if (bucle_ == nullptr || hilo_.joinable()) return false;
    try {
        hilo_ = std::thread([this] {
            const std::lock_guard<std::recursive_mutex> g(cerrojo_);
            int salida = 0;
            (void)pa_mainloop_run(bucle_, &salida);
        });
    } catch (const std::system_error&) {
        return false;
    }
    pthread_setname_np(hilo_.native_handle(), nombre);
    return true;
}

void BucleDePulse::parar() {
    {
        const std::lock_guard<std::mutex> g(pausa_);
        parando_ = true;
    }
    reanudar_.notify_all();
    {
        const std::lock_guard<std::recursive_mutex> g(cerrojo_);
        pa_mainloop_quit(bucle_, 0);
    }
    hilo_.join();
}

void BucleDePulse::bloquear() {
    {
        const std::lock_guard<std::mutex> g(pausa_);
        ++llamantes_;
    }
    reanudar_.notify_all();
    cerrojo_.lock();
}

void BucleDePulse::desbloquear() {
    cerrojo_.unlock();
    const std::lock_guard<std::mutex> g(pausa_);
    --llamantes_;
}

void BucleDePulse::avisar() {
    aviso_.notify_all();
}

void BucleDePulse::esperar() {
    aviso_.wait(cerrojo_);
}

// The loop's thread, with nothing ready and about to sleep for `espera` ms (negative: until
// something happens). Sleeps first until `ritmo` has passed since it last woke from a sleep,
// unless a caller wants the loop or it is stopping; what remains of `espera` is left for the poll.
void BucleDePulse::pausar(int& espera) {
    if (preguntas_.load(std::memory_order_relaxed) > 0) return;
    const auto inicio = std::chrono::steady_clock::now();
    auto hasta = ultimoDespertar_ + ritmo_;
    if (espera >= 0) hasta = std::min(hasta, inicio + std::chrono::milliseconds(espera));
    if (hasta <= inicio) return;
    {
        std::unique_lock<std::mutex> l(pausa_);
        reanudar_.wait_until(l, hasta, [this] { return llamantes_ > 0 || parando_; });
    }
    if (espera > 0) {
        const auto pasado =
            std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - inicio);
        espera = std::max(0, espera - static_cast<int>(pasado.count()));
    }
}

int BucleDePulse::sondear(pollfd* fds, unsigned long n, int espera, void* yo) {
    auto* self = static_cast<BucleDePulse*>(yo);
    // The loop holds the lock once (its thread's guard); it is free while the loop sleeps.
    self->cerrojo_.unlock();
    // Whatever is ready is taken at once, piece after piece (libpulse reads one per turn when
    // the connection has no shared memory): only a loop about to sleep is paced, and the pace
    // runs from when it last woke from a sleep.
    int r = ::poll(fds, n, 0);
    if (r == 0 && espera != 0) {
        self->pausar(espera);
        r = ::poll(fds, n, espera);
        self->ultimoDespertar_ = std::chrono::steady_clock::now();
    }
    self->cerrojo_.lock();
    return r;
}
