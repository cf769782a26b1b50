#pragma once
// Runs a program with arguments and a given standard input; collects both output streams and
// the exit status. Test-only helper.
#include <string>
#include <vector>

struct Salida {
    std::string out;
    std::string err;
    int estado = -1;  // exit status, or 128 + signal
};

Salida ejecutar(const std::string& programa, const std::vector<std::string>& args,
                const std::string& entrada = {});
