#include "Vault.h"

#include <cstdio>
#include <cstdlib>
#include <string>

#include <nlohmann/json.hpp>

namespace {

void responder(const nlohmann::json& respuesta) {
    const std::string texto = respuesta.dump() + "\n";
    std::fwrite(texto.data(), 1, texto.size(), stdout);
    std::fflush(stdout);
}

[[noreturn]] void salir(const std::string& mensaje, int codigo) {
    responder({{"ok", false}, {"error", mensaje}});
    std::exit(codigo);
}

}  // namespace

void runVault(int argc, char** argv) {
    (void)argv;
    if (argc < 2)
        salir(
            "uso: vkcofre estado | guardar | guardar-secreto (base64 por stdin) | leer | leer-secreto | "
            "borrar",
            1);
    salir(std::string("orden desconocida: ") + argv[1], 1);
}
