#include "RunTap.h"

#include <unistd.h>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

[[noreturn]] void fail(const std::string& texto) {
    const std::string linea = "vkoido: " + texto + "\n";
    (void)!::write(STDERR_FILENO, linea.data(), linea.size());
    std::exit(1);
}

}  // namespace

void runTap(int argc, char** argv) {
    (void)argv;
    if (argc < 2) fail("uso: vkoido <salida.wav> [--seconds N]");
    fail("no hay una salida de audio por defecto");
}
