#include "Vault.h"

Sonda Boveda::biometriaDisponible() {
    auto contexto = sistema().nuevoLAContext();
    EvaluacionDePolitica evaluacion = contexto->canEvaluatePolicy(LAPolicyDeviceOwnerAuthentication);
    return {evaluacion.puede, std::move(evaluacion.motivo)};
}

Sonda Boveda::llaveroProtegidoUtilizable() {
    Security& s = sistema();
    auto control = s.SecAccessControlCreateWithFlags(
        SecAttrAccessible::kSecAttrAccessibleWhenUnlockedThisDeviceOnly, kSecAccessControlUserPresence);
    if (!control) return {false, "sin control de acceso"};

    // An account of its own, so concurrent runs and the stored secrets are left alone.
    const std::string cuenta = cuentaDeSonda();
    Consulta alta = consultaBase(cuenta);
    alta[SecClave::kSecValueData] = std::make_shared<const BytesSeguros>(BytesSeguros(32));
    alta[SecClave::kSecAttrAccessControl] = control;
    const OSStatus estado = s.SecItemAdd(alta);
    const bool encontrada = estado == errSecSuccess && hay(cuenta);
    (void)s.SecItemDelete(consultaBase(cuenta));

    if (estado == errSecSuccess) {
        if (encontrada) return {true, std::nullopt};
        return {false, "el llavero guarda la clave pero después no la encuentra"};
    }
    if (estado == errSecMissingEntitlement)
        return {
            false,
            "al llavero protegido le falta el permiso de identificador de aplicación, que solo llega con un "
            "perfil de aprovisionamiento dentro de la app"};
    return {false, "OSStatus " + std::to_string(estado)};
}

bool Boveda::firmadoSinEquipo() {
    Security& s = sistema();
    std::shared_ptr<SecCode> propio;
    if (s.SecCodeCopySelf(kSecCSDefaultFlags, propio) != errSecSuccess || !propio) return false;
    if (s.SecCodeCheckValidity(*propio, kSecCSDefaultFlags, nullptr) != errSecSuccess) return false;
    std::shared_ptr<SecStaticCode> estatico;
    if (s.SecCodeCopyStaticCode(*propio, kSecCSDefaultFlags, estatico) != errSecSuccess || !estatico)
        return false;
    std::optional<InformacionDeFirma> informacion;
    if (s.SecCodeCopySigningInformation(*estatico, kSecCSSigningInformation, informacion) != errSecSuccess ||
        !informacion)
        return false;
    return !informacion->contains(kSecCodeInfoTeamIdentifier);
}

void Boveda::estado() {
    const Sonda biometria = biometriaDisponible();
    const Sonda llavero = llaveroProtegidoUtilizable();
    const bool guardada = hay(kCuentaClave);
    const bool secreto = hay(kCuentaSecreto);
    const auto oNulo = [](const std::optional<std::string>& motivo) -> ValorDeRespuesta {
        if (motivo) return *motivo;
        return nullptr;
    };
    responder({
        {"ok", true},
        {"biometria", biometria.valor},
        {"motivo", oNulo(biometria.motivo)},
        {"llavero", llavero.valor},
        {"motivoLlavero", oNulo(llavero.motivo)},
        {"guardada", guardada},
        {"secreto", secreto},
    });
}
