// Writes a test model: generar_modelo <destino.gguf> cierra|nunca-cierra
#include <cstdio>
#include <string>

#include "ModeloDePrueba.h"

int main(int argc, char** argv) {
    using vkacta::prueba::Orden;
    if (argc != 3 || (std::string(argv[2]) != "cierra" && std::string(argv[2]) != "nunca-cierra")) {
        std::fputs("uso: vkacta_generar_modelo <destino.gguf> cierra|nunca-cierra\n", stderr);
        return 2;
    }
    const Orden orden = std::string(argv[2]) == "cierra" ? Orden::cierra : Orden::nuncaCierra;
    const std::string error =
        vkacta::prueba::escribirModeloDePrueba(vkacta::prueba::vocabularioQwen2(), argv[1], orden);
    if (!error.empty()) {
        std::fprintf(stderr, "vkacta_generar_modelo: %s\n", error.c_str());
        return 1;
    }
    return 0;
}
