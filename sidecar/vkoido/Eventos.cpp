#include "Eventos.h"

#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>

namespace {

int fdSalida = STDOUT_FILENO;
int fdErrores = STDERR_FILENO;

void escribirTodo(int fd, const std::string& texto) {
    std::size_t hecho = 0;
    while (hecho < texto.size()) {
        const ssize_t n = ::write(fd, texto.data() + hecho, texto.size() - hecho);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;
        hecho += static_cast<std::size_t>(n);
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

void dirigirEventos(int salida, int errores) {
    fdSalida = salida;
    fdErrores = errores;
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
    escribirTodo(fdSalida, texto);
}

void note(std::string_view texto) {
    std::string l = "[tap] ";
    l += texto;
    l += '\n';
    escribirTodo(fdErrores, l);
}

void fail(std::string_view texto) {
    std::string l = "vkoido: ";
    l += texto;
    l += '\n';
    escribirTodo(fdErrores, l);
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
