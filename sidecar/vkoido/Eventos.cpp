#include "Eventos.h"

#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>

namespace {

// Lines not yet taken by a reader that is slow or hands us a non-blocking descriptor. Only
// whole lines ever enter, and a line starts only after the one before it is out: a line is
// written entirely or not at all, and never merges with the next. Past this much the reader
// is not reading, and new status lines and notes are dropped whole: the next status line says
// all the last one did. Events and the final line are what the application acts on, so they
// are kept up to a far larger bound, which only a reader gone for good reaches.
constexpr std::size_t kMaximoPendiente = std::size_t{64} * 1024;
constexpr std::size_t kMaximoPendienteEventos = std::size_t{1024} * 1024;

struct Destino {
    int fd;
    std::string pendiente;
};

Destino salida{STDOUT_FILENO, {}};
Destino errores{STDERR_FILENO, {}};

// Writes what is pending as far as the descriptor takes it now; true when nothing is left.
bool vaciar(Destino& d) {
    std::size_t hecho = 0;
    while (hecho < d.pendiente.size()) {
        const ssize_t n = ::write(d.fd, d.pendiente.data() + hecho, d.pendiente.size() - hecho);
        if (n > 0) {
            hecho += static_cast<std::size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) break;
        hecho = d.pendiente.size();  // nobody to read it (a closed or broken descriptor)
    }
    d.pendiente.erase(0, hecho);
    return d.pendiente.empty();
}

void escribirLinea(Destino& d, const std::string& linea, bool prescindible) {
    vaciar(d);
    const std::size_t maximo = prescindible ? kMaximoPendiente : kMaximoPendienteEventos;
    if (d.pendiente.size() + linea.size() > maximo) return;
    d.pendiente += linea;
    vaciar(d);
}

// Waits (poll, no busy loop) until what is pending is out or `ms` have passed.
void vaciarEsperando(Destino& d, int ms) {
    const auto fin = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (!vaciar(d)) {
        const auto resta =
            std::chrono::duration_cast<std::chrono::milliseconds>(fin - std::chrono::steady_clock::now());
        if (resta.count() <= 0) return;
        pollfd p{d.fd, POLLOUT, 0};
        if (::poll(&p, 1, static_cast<int>(resta.count())) < 0 && errno != EINTR) return;
    }
}

bool numerosFinitos(const Linea& j) {
    if (j.is_number_float()) return std::isfinite(j.get<double>());
    if (j.is_structured()) {
        for (const auto& v : j)
            if (!numerosFinitos(v)) return false;
    }
    return true;
}

}  // namespace

void dirigirEventos(int fdSalida, int fdErrores) {
    salida = Destino{fdSalida, {}};
    errores = Destino{fdErrores, {}};
}

void vaciarEventos() {
    vaciar(salida);
    vaciar(errores);
}

void vaciarEventos(int ms) {
    vaciarEsperando(salida, ms);
    vaciarEsperando(errores, ms);
}

void emit(const Linea& linea) {
    if (!numerosFinitos(linea)) return;
    std::string texto;
    try {
        texto = linea.dump();  // compact; throws on text that is not UTF-8
    } catch (const nlohmann::json::exception&) {
        return;
    }
    texto += '\n';
    const bool estado = !linea.contains("event") && linea.contains("level");
    escribirLinea(salida, texto, estado);
}

void note(std::string_view texto) {
    std::string l = "[tap] ";
    l += texto;
    l += '\n';
    escribirLinea(errores, l, true);
}

void fail(std::string_view texto) {
    std::string l = "vkoido: ";
    l += texto;
    l += '\n';
    escribirLinea(errores, l, false);
    vaciarEsperando(errores, kEsperaAlSalir);
    std::exit(1);
}

std::string formato(const char* fmt, ...) {
    va_list a;
    va_start(a, fmt);
    // The analyzer of clang-tidy 14 loses track of va_start here.
    const int n = std::vsnprintf(nullptr, 0, fmt, a);  // NOLINT(clang-analyzer-valist.Uninitialized)
    va_end(a);
    if (n <= 0) return {};
    std::string r(static_cast<std::size_t>(n) + 1, '\0');
    va_start(a, fmt);
    (void)std::vsnprintf(r.data(), r.size(), fmt, a);
    va_end(a);
    r.resize(static_cast<std::size_t>(n));
    return r;
}
