#include "Vault.h"

#include <fcntl.h>
#include <poll.h>
#include <sodium.h>
#include <unistd.h>

#ifdef __linux__
#include <sys/prctl.h>
#endif

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string_view>
#include <utility>

#include <nlohmann/json.hpp>

namespace {

constexpr const char* kUso =
    "uso: vkcofre estado | guardar | guardar-secreto (base64 por stdin) | leer | leer-secreto | borrar";

// Replies that need no memory of their own: they are written when there may be none left.
constexpr std::string_view kSinMemoria =
    "{\"error\":\"no hubo memoria suficiente para la orden\",\"ok\":false}\n";
constexpr std::string_view kFalloInterno = "{\"error\":\"fallo interno de la bóveda\",\"ok\":false}\n";
constexpr std::string_view kSinCripto =
    "{\"error\":\"no se pudo iniciar la biblioteca criptográfica\",\"ok\":false}\n";

// Straight to the descriptor: no stdio buffer keeps a copy, and nothing is left unflushed when
// the process ends right after. A non-blocking output that is full is waited on, never dropped.
bool escribirTodo(int fd, const unsigned char* datos, std::size_t largo) {
    while (largo > 0) {
        const ssize_t n = ::write(fd, datos, largo);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            if (!esperar(fd, POLLOUT)) return false;
            continue;
        }
        if (n <= 0) return false;
        datos += n;
        largo -= static_cast<std::size_t>(n);
    }
    return true;
}

int responderFijo(int fd, std::string_view linea) {
    (void)escribirTodo(fd, reinterpret_cast<const unsigned char*>(linea.data()), linea.size());
    return kEstadoFallo;
}

// A descriptor among 0-2 that the parent left closed would be the first one we open (a GLib
// eventfd, a socket), and the reply with the key would be written into it. /dev/null holds
// their place.
void ocuparLosEstandarCerrados() {
    for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
        if (::fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
        const int nulo = ::open("/dev/null", O_RDWR);
        // The lowest free number is fd itself; anything else would be a descriptor of ours.
        if (nulo >= 0 && nulo != fd) (void)::close(nulo);
    }
}

}  // namespace

Boveda::Boveda(FabricaDeSecurity fabrica, int entrada, int salida)
    : fabrica_(std::move(fabrica)), entrada_(entrada), salida_(salida) {}

Boveda::Boveda(Security& sistema, int entrada, int salida)
    : sistema_(&sistema), entrada_(entrada), salida_(salida) {}

Security& Boveda::sistema() {
    if (sistema_ == nullptr) {
        propio_ = fabrica_();
        sistema_ = propio_.get();
    }
    return *sistema_;
}

void Boveda::escribirLinea(const unsigned char* datos, std::size_t largo) {
    // A reply that did not get out whole is no reply: the status must not say it was.
    if (!escribirTodo(salida_, datos, largo)) respuestaPerdida_ = true;
}

void Boveda::responder(const Respuesta& respuesta) {
    if (respondida_) return;  // one reply per run, whatever happens after it
    nlohmann::json objeto = nlohmann::json::object();
    for (const auto& [clave, valor] : respuesta) {
        if (const auto* b = std::get_if<bool>(&valor))
            objeto[clave] = *b;
        else if (const auto* s = std::get_if<std::string>(&valor))
            objeto[clave] = *s;
        else
            objeto[clave] = nullptr;
    }
    // A command word that is not UTF-8 must still give a reply line: such bytes become U+FFFD.
    std::string texto = objeto.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
    texto += '\n';
    respondida_ = true;
    escribirLinea(reinterpret_cast<const unsigned char*>(texto.data()), texto.size());
}

void Boveda::responderClave(const BytesSeguros& datos) {
    // The secret's reply is put together in locked memory; base64 needs no JSON escaping.
    if (respondida_) return;
    const BytesSeguros base64 = aBase64(datos);
    static constexpr std::string_view kAntes = "{\"clave\":\"";
    static constexpr std::string_view kDespues = "\",\"ok\":true}\n";
    BytesSeguros linea(kAntes.size() + base64.size() + kDespues.size());
    unsigned char* p = linea.data();
    std::memcpy(p, kAntes.data(), kAntes.size());
    p += kAntes.size();
    if (!base64.empty()) std::memcpy(p, base64.data(), base64.size());
    p += base64.size();
    std::memcpy(p, kDespues.data(), kDespues.size());
    respondida_ = true;
    escribirLinea(linea.data(), linea.size());
}

void Boveda::salir(const std::string& mensaje, std::int32_t codigo) {
    responder({{"ok", false}, {"error", mensaje}});
    throw FinDeLaOrden{codigo};
}

int Boveda::ejecutar(const std::vector<std::string>& argumentos) {
    try {
        if (argumentos.size() < 2) salir(kUso, kEstadoFallo);
        const std::string& orden = argumentos[1];
        if (orden == "estado") {
            estado();
        } else if (orden == "guardar" || orden == "guardar-secreto") {
            if (argumentos.size() > 2)
                salir("la clave se entrega por stdin, no como argumento", kEstadoFallo);
            const BytesSeguros linea = leerPrimeraLinea(entrada_);
            if (linea.empty()) salir("falta la clave en base64 por stdin", kEstadoFallo);
            guardar(linea, orden == "guardar" ? kCuentaClave : kCuentaSecreto);
        } else if (orden == "leer") {
            leer(kCuentaClave, "desbloquear tus reuniones");
        } else if (orden == "leer-secreto") {
            leer(kCuentaSecreto, "abrir una carpeta con candado");
        } else if (orden == "borrar") {
            borrar();
        } else {
            salir("orden desconocida: " + orden, kEstadoFallo);
        }
    } catch (const FinDeLaOrden& fin) {
        return respuestaPerdida_ ? kEstadoFallo : fin.codigo;
    } catch (const std::bad_alloc&) {
        return fallarSinRespuesta(kSinMemoria);
    } catch (...) {
        return fallarSinRespuesta(kFalloInterno);
    }
    return respuestaPerdida_ ? kEstadoFallo : kEstadoHecho;
}

int Boveda::fallarSinRespuesta(std::string_view linea) {
    // One reply per run: a failure after the reply only changes the status.
    if (!respondida_) {
        respondida_ = true;
        escribirLinea(reinterpret_cast<const unsigned char*>(linea.data()), linea.size());
    }
    return kEstadoFallo;
}

int correrBoveda(int argc, char** argv, FabricaDeSecurity fabrica) {
    ocuparLosEstandarCerrados();
#ifdef __linux__
    // No core dumps and no same-user ptrace while secrets are in memory.
    (void)prctl(PR_SET_DUMPABLE, 0, 0, 0, 0);
#endif
    // A reader that went away must not turn the status into a signal.
    (void)std::signal(SIGPIPE, SIG_IGN);
    if (sodium_init() < 0) return responderFijo(STDOUT_FILENO, kSinCripto);
    try {
        std::vector<std::string> argumentos;
        argumentos.reserve(argc > 0 ? static_cast<std::size_t>(argc) : 0U);
        for (int i = 0; i < argc; ++i)
            argumentos.emplace_back(argv[i]);
        Boveda boveda(std::move(fabrica), STDIN_FILENO, STDOUT_FILENO);
        return boveda.ejecutar(argumentos);
    } catch (const std::bad_alloc&) {
        return responderFijo(STDOUT_FILENO, kSinMemoria);  // before any reply: the run had not begun
    } catch (...) {
        return responderFijo(STDOUT_FILENO, kFalloInterno);
    }
}
