#pragma once
// libpulse's main loop on a thread of its own, run the way pa_threaded_mainloop runs it: one
// lock, held by the loop while it dispatches and taken by callers from other threads, released
// while the loop sleeps; callers wait on it for the loop's signal. One difference: while nobody
// outside waits on the loop, it wakes at most once per `ritmo`.
//
// While a call plays at a short latency, the server hands a recording stream a piece every few
// milliseconds, and libpulse's own work for each wake-up (the poll, its wake-up pipe, the
// shared-memory handshake, a fork check on every call) is most of what a recorder costs. Paced,
// the pieces wait in the connection and are taken together. A caller that takes the lock turns
// the pacing off until it lets go, so questions to the server are answered as fast as before;
// only what arrives unasked (audio, the server's events) may wait up to `ritmo`, and questions
// the backend asks from its callbacks say so (preguntada()) to be answered as fast.
#include <poll.h>
#include <pulse/mainloop.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

class BucleDePulse {
  public:
    explicit BucleDePulse(std::chrono::milliseconds ritmo);
    ~BucleDePulse();
    BucleDePulse(const BucleDePulse&) = delete;
    BucleDePulse& operator=(const BucleDePulse&) = delete;

    // False when the loop could not be made or its thread could not start. The thread takes the
    // caller's signal mask.
    bool arrancar(const char* nombre);
    // Ends the loop and waits for its thread. Not from the loop's thread, not with the lock.
    void parar();

    // From threads other than the loop's; the loop's callbacks already hold the lock.
    void bloquear();
    void desbloquear();
    // With the lock held: wakes every caller in esperar().
    void avisar();
    // With the lock held, from another thread: lets the loop run until avisar().
    void esperar();

    pa_mainloop_api* api() { return pa_mainloop_get_api(bucle_); }

    // A question of ours is out (connecting, asking the server something from a callback): the
    // loop does not pause until as many respondida() have come. From the loop's thread or with
    // the lock held.
    void preguntada() { preguntas_.fetch_add(1, std::memory_order_relaxed); }
    void respondida() { preguntas_.fetch_sub(1, std::memory_order_relaxed); }

  private:
    static int sondear(pollfd* fds, unsigned long n, int espera, void* yo);
    void pausar(int& espera);

    pa_mainloop* bucle_;
    const std::chrono::milliseconds ritmo_;
    std::recursive_mutex cerrojo_;
    std::condition_variable_any aviso_;
    std::thread hilo_;

    // Callers between bloquear() and desbloquear(), and the stop: either ends a pause at once.
    std::mutex pausa_;
    std::condition_variable reanudar_;
    int llamantes_ = 0;
    bool parando_ = false;
    std::atomic<int> preguntas_{0};
    std::chrono::steady_clock::time_point ultimoDespertar_{};  // the loop's thread only
};
