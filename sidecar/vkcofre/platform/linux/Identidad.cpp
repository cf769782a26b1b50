#include "Identidad.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <csignal>
#include <fstream>
#include <sstream>

namespace {

// Reads `<palabra> "<valor>"` at the front of the text, leaving the rest.
bool tomarCitado(std::string_view& resto, std::string_view palabra, std::string& valor) {
    if (resto.substr(0, palabra.size()) != palabra) return false;
    resto.remove_prefix(palabra.size());
    if (resto.empty() || resto.front() != '"') return false;
    resto.remove_prefix(1);
    const auto fin = resto.find('"');
    if (fin == std::string_view::npos || fin == 0) return false;
    valor = std::string(resto.substr(0, fin));
    resto.remove_prefix(fin + 1);
    return true;
}

bool tomar(std::string_view& resto, std::string_view literal) {
    if (resto.substr(0, literal.size()) != literal) return false;
    resto.remove_prefix(literal.size());
    return true;
}

// Real and effective uid of a process, from its status file.
bool uidsDe(pid_t pid, uid_t& real, uid_t& efectivo) {
    std::ifstream estado("/proc/" + std::to_string(pid) + "/status");
    std::string linea;
    while (std::getline(estado, linea)) {
        if (linea.rfind("Uid:", 0) != 0) continue;
        std::istringstream campos(linea.substr(4));
        unsigned long r = 0;
        unsigned long e = 0;
        if (!(campos >> r >> e)) return false;
        real = static_cast<uid_t>(r);
        efectivo = static_cast<uid_t>(e);
        return true;
    }
    return false;
}

// Whether this process lives in the machine's own user namespace, where every uid is itself.
// In a namespace of its own any user can be "root" and mount its own files over any path, so
// neither the executable's path nor its owner would mean anything there.
bool enElEspacioDeUsuariosDeLaMaquina() {
    std::ifstream mapa("/proc/self/uid_map");
    unsigned long dentro = 1;
    unsigned long fuera = 1;
    unsigned long cuantos = 0;
    if (!(mapa >> dentro >> fuera >> cuantos)) return false;
    std::string resto;
    if (mapa >> resto) return false;  // more than one range
    return dentro == 0 && fuera == 0 && cuantos == 4294967295UL;
}

// A pidfd turns readable once its process has ended, zombie included.
bool sigueVivo(int pidfd) {
    pollfd espera{pidfd, POLLIN, 0};
    return ::poll(&espera, 1, 0) == 0 && ::syscall(SYS_pidfd_send_signal, pidfd, 0, nullptr, 0U) == 0;
}

}  // namespace

std::optional<Requisito> leerRequisito(const std::string& texto) {
    Requisito r;
    std::string_view resto(texto);
    if (!tomar(resto, "anchor apple generic and ") ||
        !tomarCitado(resto, "certificate leaf[subject.OU] = ", r.equipo) || !tomar(resto, " and ("))
        return std::nullopt;
    for (;;) {
        std::string id;
        if (!tomarCitado(resto, "identifier ", id)) return std::nullopt;
        r.identificadores.push_back(std::move(id));
        if (tomar(resto, ")")) break;
        if (!tomar(resto, " or ")) return std::nullopt;
    }
    if (!resto.empty()) return std::nullopt;
    return r;
}

CodigoLinux::~CodigoLinux() {
    if (pidfd_ >= 0) ::close(pidfd_);
}

OSStatus fijarProceso(pid_t pid, std::unique_ptr<CodigoLinux>& codigo) {
    if (pid <= 0) return errSecCSNoSuchCode;
    const auto fd = static_cast<int>(::syscall(SYS_pidfd_open, pid, 0U));
    if (fd < 0) return errSecCSNoSuchCode;
    // Still our parent after the pin: then the pidfd holds that very process, not a stranger
    // that got its pid after it ended.
    const bool eraPadre = ::getppid() == pid;
    codigo = std::make_unique<CodigoLinux>(pid, fd, eraPadre);
    return errSecSuccess;
}

OSStatus comprobarProceso(const CodigoLinux& codigo, const Requisito& requisito,
                          const IdentidadDeCompilacion& identidad) {
    if (identidad.equipo.empty() || requisito.equipo != identidad.equipo) return errSecCSReqFailed;
    // A parent in a namespace of its own has started us in it too.
    if (!enElEspacioDeUsuariosDeLaMaquina()) return errSecCSReqFailed;
    // Only the parent is ever asked about, and only a pin taken while it was our parent is sure
    // to hold it.
    if (!codigo.propio() && !codigo.eraPadre()) return errSecCSReqFailed;
    const pid_t pid = codigo.propio() ? ::getpid() : codigo.pid();
    const std::string exe = "/proc/" + std::to_string(pid) + "/exe";

    std::array<char, 4096> ruta{};
    const ssize_t largo = ::readlink(exe.c_str(), ruta.data(), ruta.size());
    if (largo <= 0 || static_cast<size_t>(largo) >= ruta.size()) return errSecCSReqFailed;
    const std::string rutaReal(ruta.data(), static_cast<size_t>(largo));

    bool aceptada = false;
    for (const std::string& id : requisito.identificadores) {
        const auto it = identidad.rutaDeApp.find(id);
        if (it != identidad.rutaDeApp.end() && it->second == rutaReal) aceptada = true;
    }
    if (!aceptada) return errSecCSReqFailed;

    // The file the process runs, and the file at the accepted path, must be the same one; a
    // replaced or deleted executable fails here.
    struct stat corriendo {};
    struct stat enRuta {};
    if (::stat(exe.c_str(), &corriendo) != 0 || ::stat(rutaReal.c_str(), &enRuta) != 0)
        return errSecCSReqFailed;
    if (corriendo.st_dev != enRuta.st_dev || corriendo.st_ino != enRuta.st_ino) return errSecCSReqFailed;
    if (!S_ISREG(corriendo.st_mode) || corriendo.st_uid != 0 ||
        (corriendo.st_mode & (S_IWGRP | S_IWOTH)) != 0)
        return errSecCSReqFailed;

    uid_t real = 0;
    uid_t efectivo = 0;
    if (!uidsDe(pid, real, efectivo) || real != ::getuid() || efectivo != ::getuid())
        return errSecCSReqFailed;

    // Everything above was read from /proc by pid: it described the pinned process only if that
    // process is still there now.
    if (!codigo.propio()) {
        if (!sigueVivo(codigo.pidfd())) return errSecCSReqFailed;
        if (::getppid() != codigo.pid()) return errSecCSReqFailed;
    }
    return errSecSuccess;
}
