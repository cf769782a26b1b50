#pragma once
// Queues and the main run loop of vkoido: where the capture's blocks run.
//
// Three places run code:
//  - the main thread, inside the turns of BuclePrincipal::correrHasta (0.1 s each): every block
//    queued on the ColaPrincipal and every signal-source handler runs there, one at a time;
//  - the write queue, a ColaSerie: one thread of its own, blocks run one at a time in the order
//    they were queued; sincronizar() is the synchronous empty block (a barrier);
//  - the platform's own threads (a sound-server client, say), which never run our blocks
//    themselves: they queue them on the queue they were handed.
//
// Queueing (both overloads of Cola::encolar) is safe from any thread, including threads the
// caller never told us about. It never blocks for longer than a short internal lock, and it
// never runs the block in the caller's thread.
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

// A block that can be queued without any allocation: the object is linked into the queue
// itself. Whoever queues it keeps it alive until ejecutar() has started, and must not queue
// the same object again before its ejecutar() has started (one object, one place in a queue).
// ejecutar() may queue the object again (a pool that hands itself back, for instance).
class Trabajo {
  public:
    virtual ~Trabajo() = default;
    virtual void ejecutar() = 0;

  private:
    friend class ListaDeTrabajos;
    Trabajo* siguiente_ = nullptr;
};

// FIFO of blocks, shared by the two queue kinds. Not a public interface: use Cola.
class ListaDeTrabajos {
  public:
    ListaDeTrabajos() = default;
    ListaDeTrabajos(const ListaDeTrabajos&) = delete;
    ListaDeTrabajos& operator=(const ListaDeTrabajos&) = delete;
    ~ListaDeTrabajos();

    void poner(Trabajo& t);  // caller holds the queue's lock
    Trabajo* sacar();        // caller holds the queue's lock; nullptr when empty
    bool vacia() const { return primero_ == nullptr; }

  private:
    Trabajo* primero_ = nullptr;
    Trabajo* ultimo_ = nullptr;
};

// A dispatch queue: what the platform is handed to deliver IO blocks and listener blocks on.
class Cola {
  public:
    virtual ~Cola() = default;
    // Queues a block; allocates (a std::function and its node). Any thread. Fine for rare work
    // (listener notifications, reconnections); not for every audio buffer.
    virtual void encolar(std::function<void()> bloque) = 0;
    // Queues a preallocated block without allocating. Any thread. This is the path for audio
    // buffers: keep a small pool of Trabajo objects, each owning its buffer memory.
    virtual void encolar(Trabajo& trabajo) = 0;
};

// The serial write queue: one thread, FIFO. Blocks queued after the destructor has started
// are dropped; the destructor runs what was queued before it and joins the thread.
class ColaSerie final : public Cola {
  public:
    explicit ColaSerie(std::string etiqueta);
    ~ColaSerie() override;
    ColaSerie(const ColaSerie&) = delete;
    ColaSerie& operator=(const ColaSerie&) = delete;

    void encolar(std::function<void()> bloque) override;
    void encolar(Trabajo& trabajo) override;

    // Runs an empty block synchronously: returns once every block queued before the call has
    // run. Must not be called from the queue's own thread (it would wait for itself).
    void sincronizar();

    const std::string& etiqueta() const { return etiqueta_; }

  private:
    void correr();

    std::string etiqueta_;
    std::mutex mutex_;
    std::condition_variable hayTrabajo_;
    ListaDeTrabajos lista_;
    bool terminar_ = false;
    std::thread hilo_;
};

// The main queue: blocks wait here until the main thread runs a turn of the run loop.
class ColaPrincipal final : public Cola {
  public:
    ColaPrincipal();
    ~ColaPrincipal() override;
    ColaPrincipal(const ColaPrincipal&) = delete;
    ColaPrincipal& operator=(const ColaPrincipal&) = delete;

    // The process's main queue (the one the driver runs).
    static ColaPrincipal& principal();

    void encolar(std::function<void()> bloque) override;
    void encolar(Trabajo& trabajo) override;

    // Runs every block queued so far, on the calling thread (the run loop calls this).
    void vaciar();
    // Readable (an eventfd) while blocks are waiting; the run loop polls it.
    int descriptor() const { return aviso_; }

  private:
    std::mutex mutex_;
    ListaDeTrabajos lista_;
    int aviso_ = -1;
};

// The main run loop with its signal sources. Main thread only.
class BuclePrincipal {
  public:
    explicit BuclePrincipal(ColaPrincipal& cola = ColaPrincipal::principal());
    BuclePrincipal(const BuclePrincipal&) = delete;
    BuclePrincipal& operator=(const BuclePrincipal&) = delete;
    ~BuclePrincipal();

    // A signal source: installs a do-nothing handler for `senal` (so its default action no
    // longer ends the process) and runs `manejador` inside a later turn, once per arrival
    // (arrivals between two turns may be merged into one call). Sources stay for the life of
    // the loop.
    void agregarFuenteDeSenal(int senal, std::function<void()> manejador);

    // One turn: sleeps (no busy waiting) until `hasta`, running main-queue blocks and signal
    // handlers as they come.
    void correrHasta(std::chrono::steady_clock::time_point hasta);

  private:
    ColaPrincipal& cola_;
    std::vector<std::pair<int, std::function<void()>>> fuentes_;
};
