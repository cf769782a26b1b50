// Writes a test model: generar_modelo <destino.gguf> cierra|nunca-cierra|bucle [contexto [vocabulario
// [plantilla.jinja]]]
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

#include "ModeloDePrueba.h"

int main(int argc, char** argv) {
    using vkacta::prueba::Orden;
    const std::string orden = argc >= 3 ? argv[2] : "";
    if (argc < 3 || argc > 6 || (orden != "cierra" && orden != "nunca-cierra" && orden != "bucle")) {
        std::fputs(
            "uso: vkacta_generar_modelo <destino.gguf> cierra|nunca-cierra|bucle [contexto [vocabulario "
            "[plantilla.jinja]]]\n",
            stderr);
        return 2;
    }
    const Orden o = orden == "cierra" ? Orden::cierra : orden == "bucle" ? Orden::bucle : Orden::nuncaCierra;
    const auto contexto = argc >= 4 ? static_cast<uint32_t>(std::strtoul(argv[3], nullptr, 10)) : 8192U;
    const auto vocabulario =
        argc >= 5 ? vkacta::prueba::vocabulario(argv[4]) : vkacta::prueba::vocabularioQwen2();
    std::string plantilla;
    if (argc >= 6) {
        std::ifstream f(argv[5]);
        std::ostringstream texto;
        texto << f.rdbuf();
        plantilla = texto.str();
    }
    const std::string error =
        vkacta::prueba::escribirModeloDePrueba(vocabulario, argv[1], o, true, contexto, plantilla);
    if (!error.empty()) {
        std::fprintf(stderr, "vkacta_generar_modelo: %s\n", error.c_str());
        return 1;
    }
    return 0;
}
