#include "Vault.h"

std::string Boveda::requisitoDeLaApp(const IdentidadDeLaApp& identidad) {
    return "anchor apple generic and certificate leaf[subject.OU] = \"" + identidad.equipo +
           "\" and (identifier \"" + identidad.aplicacion + "\" or identifier \"" + identidad.otraAplicacion +
           "\")";
}

void Boveda::exigirQueLlameLaApp() {
    // A developer build signed without a team has no team to pin a caller to.
    if (firmadoSinEquipo()) return;

    Security& s = sistema();
    constexpr const char* kRechazo = "solo la app puede pedir la clave";
    std::shared_ptr<SecRequirement> requisito;
    if (s.SecRequirementCreateWithString(requisitoDeLaApp(s.identidadDeLaApp()), kSecCSDefaultFlags,
                                         requisito) != errSecSuccess ||
        !requisito)
        salir(kRechazo, kEstadoFallo);

    // The application starts the vault itself: the parent is the only caller there is.
    const AtributosDeHuesped atributos{{SecGuestAttribute::kSecGuestAttributePid, s.getppid()}};
    std::shared_ptr<SecCode> llamador;
    if (s.SecCodeCopyGuestWithAttributes(nullptr, atributos, kSecCSDefaultFlags, llamador) != errSecSuccess ||
        !llamador)
        salir(kRechazo, kEstadoFallo);
    if (s.SecCodeCheckValidity(*llamador, kSecCSDefaultFlags, requisito.get()) != errSecSuccess)
        salir(kRechazo, kEstadoFallo);
}
