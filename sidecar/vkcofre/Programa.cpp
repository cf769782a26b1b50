// The shipped program's run, on the system's platform. Kept out of the logic library so the
// tests link the logic without a backend.
#include <cstdlib>

#include "Vault.h"

void runVault(int argc, char** argv) {
    const int codigo = correrBoveda(argc, argv, [] { return securityDelSistema(); });
    // Every secret is wiped and the platform closed by now; only a failure ends here.
    if (codigo != kEstadoHecho) std::exit(codigo);
}
