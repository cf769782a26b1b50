// The program entry, apart from the flow's library: it is the one place that names the
// system's model, so tests link the flow with a double instead.
#include <csignal>
#include <filesystem>
#include <system_error>

#include "Summary.h"

namespace vkacta {

int entrada(int /*argc*/, char** argv) {
    // A reader gone before the digest is written must end in a failure with its message, not in
    // a silent death by signal.
    (void)std::signal(SIGPIPE, SIG_IGN);
    // The model file sits beside the executable; argv[0] only if the kernel cannot say where.
    std::error_code ec;
    std::filesystem::path ejecutable = std::filesystem::read_symlink("/proc/self/exe", ec);
    if (ec && argv != nullptr && argv[0] != nullptr) ejecutable = argv[0];
    std::unique_ptr<LanguageModel> modelo = modeloDelSistema(ejecutable);
    if (!modelo) fail("modelo no disponible: no hay modelo del sistema");
    run(*modelo);
    return 0;
}

}  // namespace vkacta
