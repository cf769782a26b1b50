#pragma once
// Runs a program with a given standard input and collects what it writes, for tests.
#include <chrono>
#include <string>

namespace vkacta::prueba {

struct Salida {
    std::string out;
    std::string err;
    int estado = -1;  // exit status, or -1 if it did not exit by itself
    bool vencido = false;
};

// With `cerrarEntrada` false the standard input stays open (nothing more is written) until
// the program exits or the time runs out, when it is killed.
Salida ejecutar(const std::string& programa, const std::string& entrada, bool cerrarEntrada = true,
                std::chrono::milliseconds limite = std::chrono::seconds(60));

}  // namespace vkacta::prueba
