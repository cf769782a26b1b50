#include <memory>

#include "Vault.h"

#ifndef VK_SERVICIO_BOVEDA
#define VK_SERVICIO_BOVEDA "com.veskora.desktop.vault"
#endif

namespace {

std::string etiquetaDe(const std::string& cuenta) {
    return cuenta == kCuentaClave ? "Veskora · clave de cifrado" : "Veskora · clave de recuperación";
}

std::string conEstado(const char* texto, OSStatus estado) {
    return texto + std::to_string(estado) + ")";
}

}  // namespace

Consulta Boveda::consultaBase(const std::string& cuenta) const {
    return {
        {SecClave::kSecClass, SecClass::kSecClassGenericPassword},
        {SecClave::kSecAttrService, std::string(VK_SERVICIO_BOVEDA)},
        {SecClave::kSecAttrAccount, cuenta},
        {SecClave::kSecUseDataProtectionKeychain, true},
    };
}

void Boveda::guardar(const BytesSeguros& base64, const std::string& cuenta) {
    std::optional<BytesSeguros> datos = desdeBase64(base64.data(), base64.size());
    if (!datos || datos->empty()) salir("lo que se guarda llega en base64 por stdin", kEstadoFallo);
    if (cuenta == kCuentaClave && datos->size() != 32)
        salir("la clave debe ser 32 bytes en base64", kEstadoFallo);

    Security& s = sistema();
    auto control = s.SecAccessControlCreateWithFlags(
        SecAttrAccessible::kSecAttrAccessibleWhenUnlockedThisDeviceOnly, kSecAccessControlUserPresence);
    if (!control) salir("no se pudo crear el control de acceso del llavero", kEstadoFallo);

    // Replace, never update in place: the new item gets the access control afresh.
    (void)s.SecItemDelete(consultaBase(cuenta));

    Consulta alta = consultaBase(cuenta);
    alta[SecClave::kSecValueData] = std::make_shared<const BytesSeguros>(std::move(*datos));
    alta[SecClave::kSecAttrAccessControl] = control;
    alta[SecClave::kSecAttrLabel] = etiquetaDe(cuenta);
    const OSStatus estado = s.SecItemAdd(alta);
    if (estado != errSecSuccess)
        salir(conEstado("no se pudo guardar en el llavero (OSStatus ", estado), kEstadoFallo);
    responder({{"ok", true}});
}

void Boveda::leer(const std::string& cuenta, const std::string& motivo) {
    exigirQueLlameLaApp();

    Security& s = sistema();
    auto contexto = s.nuevoLAContext();
    contexto->setLocalizedReason(motivo);
    Consulta consulta = consultaBase(cuenta);
    consulta[SecClave::kSecReturnData] = true;
    consulta[SecClave::kSecMatchLimit] = SecMatchLimit::kSecMatchLimitOne;
    consulta[SecClave::kSecUseAuthenticationContext] = contexto;

    ResultadoDeBusqueda resultado;
    const OSStatus estado = s.SecItemCopyMatching(consulta, &resultado);
    switch (estado) {
        case errSecSuccess:
            if (const auto* bytes = std::get_if<BytesSeguros>(&resultado)) {
                responderClave(*bytes);
                return;
            }
            salir("el llavero devolvió algo que no es una clave", kEstadoFallo);
        case errSecItemNotFound:
            salir("no hay clave guardada en el llavero", kEstadoNadaGuardado);
        case errSecAuthFailed:
        case errSecUserCanceled:
            salir("Desbloqueo cancelado o fallido", kEstadoDesbloqueoFallido);
        default:
            salir(conEstado("no se pudo leer del llavero (OSStatus ", estado), kEstadoFallo);
    }
}

void Boveda::borrar() {
    Security& s = sistema();
    for (const char* cuenta : {kCuentaClave, kCuentaSecreto}) {
        const OSStatus estado = s.SecItemDelete(consultaBase(cuenta));
        if (estado != errSecSuccess && estado != errSecItemNotFound)
            salir(conEstado("no se pudo borrar del llavero (OSStatus ", estado), kEstadoFallo);
    }
    responder({{"ok", true}});
}

bool Boveda::hay(const std::string& cuenta) {
    Security& s = sistema();
    auto contexto = s.nuevoLAContext();
    contexto->setInteractionNotAllowed(true);
    Consulta consulta = consultaBase(cuenta);
    consulta[SecClave::kSecReturnAttributes] = true;
    consulta[SecClave::kSecUseAuthenticationContext] = contexto;
    // A refusal to prompt, or any other error, still says something is there.
    return s.SecItemCopyMatching(consulta, nullptr) != errSecItemNotFound;
}
