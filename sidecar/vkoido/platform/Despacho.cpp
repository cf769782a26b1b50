#include "Despacho.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <utility>

namespace {

// A block that owns a std::function and deletes itself once run.
class BloqueSuelto final : public Trabajo {
  public:
    explicit BloqueSuelto(std::function<void()> b) : bloque_(std::move(b)) {}
    void ejecutar() override {
        auto b = std::move(bloque_);
        delete this;
        if (b) b();
    }

  private:
    std::function<void()> bloque_;
};

// Self-pipe of the signal sources: the handler only writes the signal number.
int tuboDeSenales[2] = {-1, -1};

extern "C" void alLlegarSenal(int senal) {
    const int guardado = errno;
    const auto byte = static_cast<unsigned char>(senal);
    if (tuboDeSenales[1] >= 0) (void)!::write(tuboDeSenales[1], &byte, 1);
    errno = guardado;
}

}  // namespace

ListaDeTrabajos::~ListaDeTrabajos() {
    // Whatever never ran: loose blocks are ours to free; pooled ones belong to their owner.
    while (Trabajo* t = sacar()) {
        if (auto* suelto = dynamic_cast<BloqueSuelto*>(t)) delete suelto;
    }
}

void ListaDeTrabajos::poner(Trabajo& t) {
    t.siguiente_ = nullptr;
    if (ultimo_ != nullptr)
        ultimo_->siguiente_ = &t;
    else
        primero_ = &t;
    ultimo_ = &t;
}

Trabajo* ListaDeTrabajos::sacar() {
    Trabajo* t = primero_;
    if (t == nullptr) return nullptr;
    primero_ = t->siguiente_;
    if (primero_ == nullptr) ultimo_ = nullptr;
    t->siguiente_ = nullptr;
    return t;
}

// ---- serial queue ----

ColaSerie::ColaSerie(std::string etiqueta) : etiqueta_(std::move(etiqueta)) {
    hilo_ = std::thread([this] { correr(); });
}

ColaSerie::~ColaSerie() {
    {
        std::lock_guard<std::mutex> g(mutex_);
        terminar_ = true;
    }
    hayTrabajo_.notify_one();
    hilo_.join();
}

void ColaSerie::encolar(std::function<void()> bloque) {
    encolar(*new BloqueSuelto(std::move(bloque)));
}

void ColaSerie::encolar(Trabajo& trabajo) {
    {
        std::lock_guard<std::mutex> g(mutex_);
        if (terminar_) {
            if (auto* suelto = dynamic_cast<BloqueSuelto*>(&trabajo)) delete suelto;
            return;
        }
        lista_.poner(trabajo);
    }
    hayTrabajo_.notify_one();
}

void ColaSerie::correr() {
    std::unique_lock<std::mutex> g(mutex_);
    for (;;) {
        hayTrabajo_.wait(g, [this] { return terminar_ || !lista_.vacia(); });
        Trabajo* t = lista_.sacar();
        if (t == nullptr) return;  // asked to end and nothing left
        g.unlock();
        t->ejecutar();
        g.lock();
    }
}

void ColaSerie::sincronizar() {
    std::mutex m;
    std::condition_variable cv;
    bool hecho = false;
    encolar([&] {
        std::lock_guard<std::mutex> g(m);
        hecho = true;
        cv.notify_one();
    });
    std::unique_lock<std::mutex> g(m);
    cv.wait(g, [&] { return hecho; });
}

// ---- main queue ----

ColaPrincipal::ColaPrincipal() : aviso_(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {
    if (aviso_ < 0) std::abort();  // without it the run loop could never wake
}

ColaPrincipal::~ColaPrincipal() {
    ::close(aviso_);
}

ColaPrincipal& ColaPrincipal::principal() {
    // Never destroyed: platform threads may still queue on it while the process exits.
    static auto* cola = new ColaPrincipal();
    return *cola;
}

void ColaPrincipal::encolar(std::function<void()> bloque) {
    encolar(*new BloqueSuelto(std::move(bloque)));
}

void ColaPrincipal::encolar(Trabajo& trabajo) {
    {
        std::lock_guard<std::mutex> g(mutex_);
        lista_.poner(trabajo);
    }
    const std::uint64_t uno = 1;
    (void)!::write(aviso_, &uno, sizeof uno);
}

void ColaPrincipal::vaciar() {
    std::uint64_t cuenta = 0;
    (void)!::read(aviso_, &cuenta, sizeof cuenta);
    for (;;) {
        Trabajo* t = nullptr;
        {
            std::lock_guard<std::mutex> g(mutex_);
            t = lista_.sacar();
        }
        if (t == nullptr) return;
        t->ejecutar();
    }
}

// ---- run loop and signal sources ----

BuclePrincipal::BuclePrincipal(ColaPrincipal& cola) : cola_(cola) {}

BuclePrincipal::~BuclePrincipal() = default;

void BuclePrincipal::agregarFuenteDeSenal(int senal, std::function<void()> manejador) {
    if (tuboDeSenales[0] < 0) {
        if (::pipe2(tuboDeSenales, O_CLOEXEC | O_NONBLOCK) != 0) std::abort();
    }
    fuentes_.emplace_back(senal, std::move(manejador));
    struct sigaction accion {};
    accion.sa_handler = alLlegarSenal;
    sigemptyset(&accion.sa_mask);
    accion.sa_flags = SA_RESTART;
    ::sigaction(senal, &accion, nullptr);
}

void BuclePrincipal::correrHasta(std::chrono::steady_clock::time_point hasta) {
    using std::chrono::steady_clock;
    for (;;) {
        const auto ahora = steady_clock::now();
        const auto resta = hasta > ahora ? std::chrono::ceil<std::chrono::milliseconds>(hasta - ahora)
                                         : std::chrono::milliseconds(0);
        pollfd fds[2] = {{cola_.descriptor(), POLLIN, 0}, {tuboDeSenales[0], POLLIN, 0}};
        const nfds_t n = tuboDeSenales[0] >= 0 ? 2 : 1;
        const int r = ::poll(fds, n, static_cast<int>(resta.count()));
        if (r > 0 && (fds[0].revents & POLLIN) != 0) cola_.vaciar();
        if (r > 0 && n == 2 && (fds[1].revents & POLLIN) != 0) {
            unsigned char llegadas[64];
            const ssize_t leidos = ::read(tuboDeSenales[0], llegadas, sizeof llegadas);
            for (ssize_t i = 0; i < leidos; ++i) {
                for (auto& [senal, manejador] : fuentes_) {
                    if (senal == llegadas[i] && manejador) manejador();
                }
            }
        }
        if (steady_clock::now() >= hasta) return;
    }
}
