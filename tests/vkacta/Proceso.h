#pragma once
// Runs a body in a child process with its standard streams on pipes; collects both output
// streams and the exit status. Test-only helper.
#include <functional>
#include <optional>
#include <string>

namespace vkacta::prueba {

struct Salida {
    std::string out;
    std::string err;
    int estado = -1;  // exit status, or 128 + signal; -2 when the child had to be killed
};

// `entrada` is written to the child's stdin, which is then closed; with no `entrada` stdin is
// kept open and never written, like a caller that never sends end of file. The body must end
// the process itself; returning from it exits with status 99.
Salida enHijo(const std::function<void()>& cuerpo, const std::optional<std::string>& entrada);

}  // namespace vkacta::prueba
