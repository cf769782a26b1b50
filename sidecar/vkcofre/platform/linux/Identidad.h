#pragma once
// Code identity on Linux. There are no signatures: the build says who the program is. A build
// without an application identity is the developer build (signed without team); a release build
// carries the team and the accepted application identifiers, each mapped to the absolute path of
// the application's executable. A caller satisfies a requirement when its running executable is
// one of the accepted paths, owned by root and writable by nobody else, and it runs as our user.
#include <sys/types.h>

#include <map>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "platform/Security.h"

inline constexpr OSStatus errSecCSReqInvalid = -67052;
inline constexpr OSStatus errSecCSReqFailed = -67050;
inline constexpr OSStatus errSecCSNoSuchCode = -67065;
inline constexpr OSStatus errSecCSUnimplemented = -4;

struct IdentidadDeCompilacion {
    std::string equipo;  // empty: developer build
    std::string aplicacion;
    std::string otraAplicacion;
    std::map<std::string, std::string> rutaDeApp;  // application identifier -> executable path
};

// A requirement the vault can state: team and the identifiers accepted.
struct Requisito {
    std::string equipo;
    std::vector<std::string> identificadores;
};
// Reads `anchor apple generic and certificate leaf[subject.OU] = "T" and (identifier "A" or
// identifier "B" ...)`; anything else is not understood.
std::optional<Requisito> leerRequisito(const std::string& texto);

class CodigoLinux : public SecCode {
  public:
    CodigoLinux() = default;  // the program itself
    CodigoLinux(pid_t pid, int pidfd, bool eraPadre) : pid_(pid), pidfd_(pidfd), eraPadre_(eraPadre) {}
    ~CodigoLinux() override;
    CodigoLinux(const CodigoLinux&) = delete;
    CodigoLinux& operator=(const CodigoLinux&) = delete;

    bool propio() const { return pidfd_ < 0; }
    pid_t pid() const { return pid_; }
    int pidfd() const { return pidfd_; }
    bool eraPadre() const { return eraPadre_; }

  private:
    pid_t pid_ = 0;
    int pidfd_ = -1;
    bool eraPadre_ = false;
};

class EstaticoLinux : public SecStaticCode {};

class RequisitoLinux : public SecRequirement {
  public:
    explicit RequisitoLinux(Requisito requisito) : requisito_(std::move(requisito)) {}
    const Requisito& requisito() const { return requisito_; }

  private:
    Requisito requisito_;
};

// Pins the process with a pidfd; errSecCSNoSuchCode when it is gone.
OSStatus fijarProceso(pid_t pid, std::unique_ptr<CodigoLinux>& codigo);

// Does the pinned process satisfy the requirement under this build's identity? Checked on the
// pinned process, which must still be alive (and still our parent if it was) once all is read.
OSStatus comprobarProceso(const CodigoLinux& codigo, const Requisito& requisito,
                          const IdentidadDeCompilacion& identidad);
