#pragma once
// One run of the vault in this process, against the double, with a given standard input.
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "LlaveroDoble.h"

struct Corrida {
    std::string salida;                // everything written to standard output
    int estado = -1;                   // exit status
    long leidos = 0;                   // bytes of standard input consumed
    nlohmann::json respuesta() const;  // the one reply line, checked to be exactly one line
};

Corrida correr(LlaveroDoble& doble, const std::vector<std::string>& argumentos,
               const std::string& entrada = "");

std::string base64De(const std::string& bytes);
std::string bytesDe(const std::string& base64);
