#include "SecurityLinux.h"

#include <unistd.h>

#include <utility>
#include <vector>

#include "Llavero.h"
#include "Presencia.h"

namespace {

class ContextoPolkit : public LAContext {
  public:
    explicit ContextoPolkit(std::shared_ptr<Presencia> presencia) : presencia_(std::move(presencia)) {}
    EvaluacionDePolitica canEvaluatePolicy(LAPolicy politica) override {
        if (politica != LAPolicyDeviceOwnerAuthentication) return {false, "política no admitida"};
        return presencia_->puedeAutenticar();
    }

  private:
    std::shared_ptr<Presencia> presencia_;
};

class SecurityLinux : public Security {
  public:
    explicit SecurityLinux(ConfiguracionLinux configuracion)
        : presencia_(std::make_shared<Presencia>(std::move(configuracion.direccionPolkit),
                                                 std::move(configuracion.accionPresencia))),
          identidad_(std::move(configuracion.identidad)) {}

    OSStatus SecItemAdd(const Consulta& consulta) override {
        const auto* servicio = valorDe<std::string>(consulta, SecClave::kSecAttrService);
        const auto* cuenta = valorDe<std::string>(consulta, SecClave::kSecAttrAccount);
        const auto* datos = valorDe<std::shared_ptr<const BytesSeguros>>(consulta, SecClave::kSecValueData);
        if (servicio == nullptr || cuenta == nullptr || datos == nullptr || !*datos) return errSecParam;
        const auto* control =
            valorDe<std::shared_ptr<const SecAccessControl>>(consulta, SecClave::kSecAttrAccessControl);
        const bool presencia =
            control != nullptr && *control && ((*control)->flags & kSecAccessControlUserPresence) != 0;
        const auto* etiqueta = valorDe<std::string>(consulta, SecClave::kSecAttrLabel);

        llavero_.preverSesion();
        if (const OSStatus e = llavero_.abrir(); e != errSecSuccess) return e;
        std::vector<Llavero::Item> items;
        const OSStatus busqueda = llavero_.buscar(*servicio, *cuenta, items);
        // Storing never prompts: a locked collection takes no item (the service refuses it, or
        // the match found is locked), and that is said as such, not as a duplicate. Only a match
        // in the default collection, where the item goes, stands in the way: one left in a
        // keyring that is no longer the default (locked, maybe) is read after the new one.
        if (busqueda == errSecSuccess && items.front().enLaPredeterminada)
            return items.front().bloqueado ? errSecInteractionNotAllowed : errSecDuplicateItem;
        if (busqueda != errSecSuccess && busqueda != errSecItemNotFound) return busqueda;
        return llavero_.crear(*servicio, *cuenta,
                              etiqueta != nullptr ? std::optional(*etiqueta) : std::nullopt, **datos,
                              presencia);
    }

    OSStatus SecItemCopyMatching(const Consulta& consulta, ResultadoDeBusqueda* resultado) override {
        if (resultado != nullptr) *resultado = std::monostate{};
        const auto* servicio = valorDe<std::string>(consulta, SecClave::kSecAttrService);
        const auto* cuenta = valorDe<std::string>(consulta, SecClave::kSecAttrAccount);
        if (servicio == nullptr || cuenta == nullptr) return errSecParam;
        const auto* contexto =
            valorDe<std::shared_ptr<LAContext>>(consulta, SecClave::kSecUseAuthenticationContext);
        const bool interaccion = contexto == nullptr || !*contexto || !(*contexto)->interactionNotAllowed();
        const auto* pideDatos = valorDe<bool>(consulta, SecClave::kSecReturnData);
        const auto* pideAtributos = valorDe<bool>(consulta, SecClave::kSecReturnAttributes);
        const bool datos = resultado != nullptr && pideDatos != nullptr && *pideDatos;
        const bool atributos = resultado != nullptr && pideAtributos != nullptr && *pideAtributos;

        // A read of bytes will need the service's session: it is opened alongside the search
        // and the owner's check, and asks nobody anything.
        if (datos) llavero_.preverSesion();
        if (const OSStatus e = llavero_.abrir(); e != errSecSuccess) return e;
        std::vector<Llavero::Item> items;
        // What is read is nearly always an item stored with the owner's presence: one search
        // then tells both that it is there and that the owner must be asked.
        Llavero::Propiedades propiedades;
        bool conPresencia = false;
        if (datos) {
            const OSStatus e = llavero_.buscar(*servicio, *cuenta, items, Llavero::kAccesoPresencia);
            if (e != errSecSuccess && e != errSecItemNotFound) return e;
            conPresencia = e == errSecSuccess;
        }
        if (!conPresencia)
            if (const OSStatus e = llavero_.buscar(*servicio, *cuenta, items); e != errSecSuccess) return e;
        Llavero::Item& item = items.front();

        // A presence test: the data is not used, nobody is asked, one search is all it costs.
        if (!datos && !atributos) return errSecSuccess;
        if (!conPresencia)
            if (const OSStatus e = llavero_.propiedades(item, propiedades); e != errSecSuccess) return e;
        if (!datos) {
            *resultado = AtributosDeItem{{SecClave::kSecAttrService, propiedades.servicio},
                                         {SecClave::kSecAttrAccount, propiedades.cuenta},
                                         {SecClave::kSecAttrLabel, propiedades.etiqueta}};
            return errSecSuccess;
        }

        // The owner first, then the service's own unlock, then the bytes.
        if (propiedades.pidePresencia) {
            if (!interaccion) return errSecInteractionNotAllowed;
            if (const OSStatus e = presencia_->confirmar(); e != errSecSuccess) return e;
        }
        if (const OSStatus e = llavero_.desbloquear(item, interaccion); e != errSecSuccess) return e;
        BytesSeguros bytes;
        if (const OSStatus e = llavero_.leerDatos(item, bytes); e != errSecSuccess) return e;
        *resultado = std::move(bytes);
        return errSecSuccess;
    }

    OSStatus SecItemDelete(const Consulta& consulta) override {
        const auto* servicio = valorDe<std::string>(consulta, SecClave::kSecAttrService);
        const auto* cuenta = valorDe<std::string>(consulta, SecClave::kSecAttrAccount);
        if (servicio == nullptr || cuenta == nullptr) return errSecParam;
        if (const OSStatus e = llavero_.abrir(); e != errSecSuccess) return e;
        std::vector<Llavero::Item> items;
        if (const OSStatus e = llavero_.buscar(*servicio, *cuenta, items); e != errSecSuccess) return e;
        // Never prompts. Every match that can be reached goes, so that a copy left in a locked
        // keyring never keeps a store from replacing the one in the default collection; the
        // locked one stays, and that is said. An item another run deleted meanwhile is gone, as
        // asked.
        bool quedaBloqueado = false;
        for (const Llavero::Item& item : items) {
            if (item.bloqueado) {
                quedaBloqueado = true;
                continue;
            }
            if (const OSStatus e = llavero_.borrar(item); e != errSecSuccess && e != errSecItemNotFound)
                return e;
        }
        return quedaBloqueado ? errSecInteractionNotAllowed : errSecSuccess;
    }

    std::shared_ptr<const SecAccessControl> SecAccessControlCreateWithFlags(
        SecAttrAccessible accesibilidad, SecAccessControlCreateFlags flags) override {
        if ((flags & ~kSecAccessControlUserPresence) != 0) return nullptr;  // nothing else is backed here
        // An access control is made only to store an item with it: the session storing needs
        // can be started as soon as the service is open.
        llavero_.preverSesion();
        return std::make_shared<const SecAccessControl>(SecAccessControl{accesibilidad, flags});
    }

    std::shared_ptr<LAContext> nuevoLAContext() override {
        // The vault makes a context right before reading bytes, and first of all in its state
        // report, which asks the authority and then stores a probe: either way the service and
        // its session come next. The service is opened now and the session's key exchange
        // starts on its own thread, alongside the authority's answer. (Never before the caller
        // check, which precedes every read.) A failure to open is met again, and reported, by
        // the operation that needs the service.
        llavero_.preverSesion();
        (void)llavero_.abrir();
        return std::make_shared<ContextoPolkit>(presencia_);
    }

    OSStatus SecCodeCopySelf(SecCSFlags /*flags*/, std::shared_ptr<SecCode>& self) override {
        self = std::make_shared<CodigoLinux>();
        return errSecSuccess;
    }

    OSStatus SecCodeCheckValidity(const SecCode& code, SecCSFlags /*flags*/,
                                  const SecRequirement* requirement) override {
        const auto* codigo = dynamic_cast<const CodigoLinux*>(&code);
        if (codigo == nullptr) return errSecCSNoSuchCode;
        // Without a requirement: the program itself is what its build says it is.
        if (requirement == nullptr) return codigo->propio() ? errSecSuccess : errSecCSReqFailed;
        const auto* requisito = dynamic_cast<const RequisitoLinux*>(requirement);
        if (requisito == nullptr) return errSecCSReqInvalid;
        return comprobarProceso(*codigo, requisito->requisito(), identidad_);
    }

    OSStatus SecCodeCopyStaticCode(const SecCode& code, SecCSFlags /*flags*/,
                                   std::shared_ptr<SecStaticCode>& staticCode) override {
        staticCode.reset();
        const auto* codigo = dynamic_cast<const CodigoLinux*>(&code);
        if (codigo == nullptr || !codigo->propio()) return errSecCSUnimplemented;
        staticCode = std::make_shared<EstaticoLinux>();
        return errSecSuccess;
    }

    OSStatus SecCodeCopySigningInformation(const SecStaticCode& code, SecCSFlags flags,
                                           std::optional<InformacionDeFirma>& information) override {
        information.reset();
        if (dynamic_cast<const EstaticoLinux*>(&code) == nullptr) return errSecCSNoSuchCode;
        InformacionDeFirma info;
        if ((flags & kSecCSSigningInformation) != 0 && !identidad_.equipo.empty())
            info[kSecCodeInfoTeamIdentifier] = identidad_.equipo;
        information = std::move(info);
        return errSecSuccess;
    }

    OSStatus SecRequirementCreateWithString(const std::string& text, SecCSFlags /*flags*/,
                                            std::shared_ptr<SecRequirement>& requirement) override {
        requirement.reset();
        auto requisito = leerRequisito(text);
        if (!requisito) return errSecCSReqInvalid;
        requirement = std::make_shared<RequisitoLinux>(std::move(*requisito));
        return errSecSuccess;
    }

    OSStatus SecCodeCopyGuestWithAttributes(const SecCode* host, const AtributosDeHuesped& attributes,
                                            SecCSFlags /*flags*/, std::shared_ptr<SecCode>& guest) override {
        guest.reset();
        const auto pid = attributes.find(SecGuestAttribute::kSecGuestAttributePid);
        if (host != nullptr || pid == attributes.end() || attributes.size() != 1) return errSecCSNoSuchCode;
        std::unique_ptr<CodigoLinux> codigo;
        if (const OSStatus e = fijarProceso(static_cast<pid_t>(pid->second), codigo); e != errSecSuccess)
            return e;
        guest = std::move(codigo);
        return errSecSuccess;
    }

    std::int32_t getppid() override { return static_cast<std::int32_t>(::getppid()); }

    IdentidadDeLaApp identidadDeLaApp() override {
        return {identidad_.equipo, identidad_.aplicacion, identidad_.otraAplicacion};
    }

  private:
    Llavero llavero_;
    std::shared_ptr<Presencia> presencia_;
    IdentidadDeCompilacion identidad_;
};

}  // namespace

std::unique_ptr<Security> crearSecurityLinux(ConfiguracionLinux configuracion) {
    return std::make_unique<SecurityLinux>(std::move(configuracion));
}
