#pragma once
// The vault: one command per run, every platform call through the Security seam.
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "platform/Security.h"

// Exit statuses the application tells apart.
inline constexpr int kEstadoHecho = 0;
inline constexpr int kEstadoFallo = 1;
inline constexpr int kEstadoNadaGuardado = 2;
inline constexpr int kEstadoDesbloqueoFallido = 3;

inline constexpr const char* kCuentaClave = "clave-maestra";
inline constexpr const char* kCuentaSecreto = "secreto";

// A reply: string keys; Boolean, string or null values.
using ValorDeRespuesta = std::variant<std::nullptr_t, bool, std::string>;
using Respuesta = std::map<std::string, ValorDeRespuesta>;

// A probe's answer and, when it has one, why.
struct Sonda {
    bool valor = false;
    std::optional<std::string> motivo;
};

// Thrown by salir() once the error reply is out, so that the stack unwinds (wiping every secret
// it holds) before the process ends with `codigo`. Only Boveda::ejecutar catches it.
struct FinDeLaOrden {
    int codigo;
};

using FabricaDeSecurity = std::function<std::unique_ptr<Security>()>;

class Boveda {
  public:
    // `entrada` and `salida` are file descriptors (standard input and output in the program).
    // The platform is made on first use, so a bad command line never touches it.
    Boveda(FabricaDeSecurity fabrica, int entrada, int salida);
    Boveda(Security& sistema, int entrada, int salida);

    // The whole run for an argument list (program name first); returns the exit status (0-3).
    // Writes exactly one reply line, out of memory and any other exception included; a reply
    // that could not be written whole makes the status 1.
    int ejecutar(const std::vector<std::string>& argumentos);

    // Replies. salir writes the error reply and unwinds to ejecutar (FinDeLaOrden).
    [[noreturn]] void salir(const std::string& mensaje, std::int32_t codigo);
    void responder(const Respuesta& respuesta);

    // Item store.
    Consulta consultaBase(const std::string& cuenta) const;
    void guardar(const BytesSeguros& base64, const std::string& cuenta);
    void leer(const std::string& cuenta, const std::string& motivo);
    void borrar();
    bool hay(const std::string& cuenta);

    // Probes and the state report.
    Sonda biometriaDisponible();
    Sonda llaveroProtegidoUtilizable();
    bool firmadoSinEquipo();
    void estado();

    // Caller check: returns, or ends the run with "solo la app puede pedir la clave".
    void exigirQueLlameLaApp();

    // The requirement a reader must meet, for a given identity.
    static std::string requisitoDeLaApp(const IdentidadDeLaApp& identidad);

  private:
    Security& sistema();
    void escribirLinea(const unsigned char* datos, std::size_t largo);
    void responderClave(const BytesSeguros& datos);
    int fallarSinRespuesta(std::string_view linea);

    FabricaDeSecurity fabrica_;
    std::unique_ptr<Security> propio_;
    Security* sistema_ = nullptr;
    int entrada_;
    int salida_;
    bool respondida_ = false;
    bool respuestaPerdida_ = false;
};

// Base64 of the standard alphabet, padded; nothing else is accepted (no white space, no
// URL-safe characters, no missing padding). Both work in locked memory.
std::optional<BytesSeguros> desdeBase64(const unsigned char* texto, std::size_t largo);
BytesSeguros aBase64(const BytesSeguros& datos);

// The first line of `fd`, read a byte at a time so nothing after it is consumed; LF or CR LF
// removed, nothing else. Empty when the input ends before any character. A non-blocking input
// that is empty for now is waited on (poll): only its end, or an error, ends the line.
BytesSeguros leerPrimeraLinea(int fd);

// Waits until `fd` is ready for `evento` (POLLIN, POLLOUT), has hung up or failed; false when it
// cannot be waited on.
bool esperar(int fd, short evento);

// "sonda-" and a new random UUID in upper case.
std::string cuentaDeSonda();

// The run with a given platform: hardening, the command, and the exit status (not exiting).
int correrBoveda(int argc, char** argv, FabricaDeSecurity fabrica);

// The program's entry: the run on the system's platform; ends the process unless it succeeded.
void runVault(int argc, char** argv);
