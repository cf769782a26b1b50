#pragma once
// The Linux backend of the vault's platform seam: items in the Secret Service, the owner's
// presence through polkit, code identity from the build. Only its constructor is visible.
#include <memory>
#include <string>

#include "Identidad.h"
#include "platform/Security.h"

struct ConfiguracionLinux {
    std::string direccionPolkit;  // bus address of the polkit authority
    std::string accionPresencia;  // polkit action asked before data is handed out
    IdentidadDeCompilacion identidad;
};

std::unique_ptr<Security> crearSecurityLinux(ConfiguracionLinux configuracion);
