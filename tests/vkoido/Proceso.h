#pragma once
// Runs a program with arguments, a given standard input and extra environment; collects both
// output streams and the exit status. `mientras` runs on another thread while the program
// runs, with its pid (to send it signals). Test-only helper.
#include <sys/types.h>

#include <functional>
#include <string>
#include <vector>

struct Resultado {
    std::string out;
    std::string err;
    int estado = -1;  // exit status, or 128 + signal
};

Resultado ejecutar(const std::string& programa, const std::vector<std::string>& args,
                   const std::string& entrada = {}, const std::vector<std::string>& entorno = {},
                   const std::function<void(pid_t)>& mientras = {});
