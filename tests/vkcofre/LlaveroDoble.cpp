#include "LlaveroDoble.h"

#include <algorithm>
#include <new>

#ifndef VK_SERVICIO_BOVEDA
#define VK_SERVICIO_BOVEDA "com.veskora.desktop.vault"
#endif

namespace {

constexpr OSStatus kDuplicado = -25299;
constexpr OSStatus kSinFirmar = -67062;
constexpr OSStatus kFirmaRota = -67061;
constexpr OSStatus kNoCumple = -67050;

struct CodigoEnDoble : SecCode {
    explicit CodigoEnDoble(CodigoDoble c) : codigo(std::move(c)) {}
    CodigoDoble codigo;
};
struct EstaticoEnDoble : SecStaticCode {
    explicit EstaticoEnDoble(CodigoDoble c) : codigo(std::move(c)) {}
    CodigoDoble codigo;
};
struct RequisitoEnDoble : SecRequirement {
    explicit RequisitoEnDoble(std::string t) : texto(std::move(t)) {}
    std::string texto;
};

class ContextoDoble : public LAContext {
  public:
    explicit ContextoDoble(LlaveroDoble& d) : doble_(d) {}
    EvaluacionDePolitica canEvaluatePolicy(LAPolicy politica) override {
        doble_.llamadas.push_back("canEvaluatePolicy " + std::to_string(politica));
        return doble_.evaluacion;
    }

  private:
    LlaveroDoble& doble_;
};

std::string cadena(const Consulta& c, SecClave k) {
    const auto* v = valorDe<std::string>(c, k);
    return v ? *v : std::string();
}

bool verdad(const Consulta& c, SecClave k) {
    const auto* v = valorDe<bool>(c, k);
    return v && *v;
}

}  // namespace

std::string textoDe(const BytesSeguros& bytes) {
    return {reinterpret_cast<const char*>(bytes.data()), bytes.size()};
}

std::size_t LlaveroDoble::tocadasDelLlavero() const {
    return consultas.size();
}

std::optional<OSStatus> LlaveroDoble::guionPara(const std::string& operacion) {
    if (operacion == sinMemoriaEn) throw std::bad_alloc();
    auto it = guion.find(operacion);
    if (it == guion.end() || it->second.empty()) return std::nullopt;
    const std::optional<OSStatus> r = it->second.front();
    it->second.pop_front();
    return r;
}

std::vector<ItemDoble>::iterator LlaveroDoble::buscar(const Consulta& consulta) {
    const auto* clase = valorDe<SecClass>(consulta, SecClave::kSecClass);
    if (clase == nullptr) return items.end();
    const std::string servicio = cadena(consulta, SecClave::kSecAttrService);
    const std::string cuenta = cadena(consulta, SecClave::kSecAttrAccount);
    return std::find_if(items.begin(), items.end(),
                        [&](const ItemDoble& i) { return i.servicio == servicio && i.cuenta == cuenta; });
}

OSStatus LlaveroDoble::SecItemAdd(const Consulta& consulta) {
    llamadas.push_back("SecItemAdd " + cadena(consulta, SecClave::kSecAttrAccount));
    consultas.push_back(consulta);
    if (auto r = guionPara("SecItemAdd")) return *r;
    if (buscar(consulta) != items.end()) return kDuplicado;
    const auto* datos = valorDe<std::shared_ptr<const BytesSeguros>>(consulta, SecClave::kSecValueData);
    const auto* control =
        valorDe<std::shared_ptr<const SecAccessControl>>(consulta, SecClave::kSecAttrAccessControl);
    ItemDoble item;
    item.servicio = cadena(consulta, SecClave::kSecAttrService);
    item.cuenta = cadena(consulta, SecClave::kSecAttrAccount);
    item.etiqueta = cadena(consulta, SecClave::kSecAttrLabel);
    item.proteccionDeDatos = verdad(consulta, SecClave::kSecUseDataProtectionKeychain);
    if (control) item.control = *control;
    // The keychain keeps its own copy of the bytes.
    if (datos && *datos) item.datos = std::make_shared<const BytesSeguros>((*datos)->copia());
    items.push_back(std::move(item));
    return errSecSuccess;
}

OSStatus LlaveroDoble::SecItemCopyMatching(const Consulta& consulta, ResultadoDeBusqueda* resultado) {
    llamadas.push_back("SecItemCopyMatching " + cadena(consulta, SecClave::kSecAttrAccount));
    consultas.push_back(consulta);
    if (resultado) *resultado = std::monostate{};
    if (auto r = guionPara("SecItemCopyMatching")) return *r;
    const auto it = buscar(consulta);
    if (it == items.end()) return errSecItemNotFound;
    if (!verdad(consulta, SecClave::kSecReturnData)) {
        if (resultado && verdad(consulta, SecClave::kSecReturnAttributes))
            *resultado = AtributosDeItem{{SecClave::kSecAttrAccount, it->cuenta}};
        return errSecSuccess;
    }
    // Using the data is what the access control guards.
    if (it->control && (it->control->flags & kSecAccessControlUserPresence) != 0) {
        const auto* ctx =
            valorDe<std::shared_ptr<LAContext>>(consulta, SecClave::kSecUseAuthenticationContext);
        if (ctx && *ctx && (*ctx)->interactionNotAllowed()) return errSecInteractionNotAllowed;
        llamadas.push_back("prompt " + (ctx && *ctx ? (*ctx)->localizedReason() : std::string()));
        if (presencia == Presencia::cancela) return errSecUserCanceled;
        if (presencia == Presencia::falla) return errSecAuthFailed;
    }
    if (resultado && datosComoAtributos)
        *resultado = AtributosDeItem{{SecClave::kSecAttrAccount, it->cuenta}};
    else if (resultado && it->datos)
        *resultado = it->datos->copia();
    return errSecSuccess;
}

OSStatus LlaveroDoble::SecItemDelete(const Consulta& consulta) {
    llamadas.push_back("SecItemDelete " + cadena(consulta, SecClave::kSecAttrAccount));
    consultas.push_back(consulta);
    if (auto r = guionPara("SecItemDelete")) return *r;
    const auto it = buscar(consulta);
    if (it == items.end()) return errSecItemNotFound;
    items.erase(it);
    return errSecSuccess;
}

std::shared_ptr<const SecAccessControl> LlaveroDoble::SecAccessControlCreateWithFlags(
    SecAttrAccessible accesibilidad, SecAccessControlCreateFlags flags) {
    llamadas.push_back("SecAccessControlCreateWithFlags " + std::to_string(flags));
    if (controlDeAccesoFalla) return nullptr;
    return std::make_shared<const SecAccessControl>(SecAccessControl{accesibilidad, flags});
}

std::shared_ptr<LAContext> LlaveroDoble::nuevoLAContext() {
    llamadas.emplace_back("LAContext");
    return std::make_shared<ContextoDoble>(*this);
}

OSStatus LlaveroDoble::SecCodeCopySelf(SecCSFlags /*flags*/, std::shared_ptr<SecCode>& self) {
    llamadas.emplace_back("SecCodeCopySelf");
    self.reset();
    if (auto r = guionPara("SecCodeCopySelf")) return *r;
    self = std::make_shared<CodigoEnDoble>(propio);
    return errSecSuccess;
}

OSStatus LlaveroDoble::SecCodeCheckValidity(const SecCode& code, SecCSFlags /*flags*/,
                                            const SecRequirement* requirement) {
    llamadas.emplace_back(requirement ? "SecCodeCheckValidity requisito" : "SecCodeCheckValidity");
    if (auto r = guionPara("SecCodeCheckValidity")) return *r;
    const CodigoDoble& c = dynamic_cast<const CodigoEnDoble&>(code).codigo;
    if (c.firma == Firma::sinFirmar) return kSinFirmar;
    if (c.firma == Firma::danada) return kFirmaRota;
    if (requirement == nullptr) return errSecSuccess;
    // Apple's anchor, the team as the leaf's OU, and the identifier among the accepted ones.
    const std::string& t = dynamic_cast<const RequisitoEnDoble&>(*requirement).texto;
    const bool cumple = c.firma == Firma::conEquipo && t.starts_with("anchor apple generic and ") &&
                        t.find("certificate leaf[subject.OU] = \"" + c.equipo + "\"") != std::string::npos &&
                        t.find("identifier \"" + c.identificador + "\"") != std::string::npos;
    return cumple ? errSecSuccess : kNoCumple;
}

OSStatus LlaveroDoble::SecCodeCopyStaticCode(const SecCode& code, SecCSFlags /*flags*/,
                                             std::shared_ptr<SecStaticCode>& staticCode) {
    llamadas.emplace_back("SecCodeCopyStaticCode");
    staticCode.reset();
    if (auto r = guionPara("SecCodeCopyStaticCode")) return *r;
    staticCode = std::make_shared<EstaticoEnDoble>(dynamic_cast<const CodigoEnDoble&>(code).codigo);
    return errSecSuccess;
}

OSStatus LlaveroDoble::SecCodeCopySigningInformation(const SecStaticCode& code, SecCSFlags flags,
                                                     std::optional<InformacionDeFirma>& information) {
    llamadas.push_back("SecCodeCopySigningInformation " + std::to_string(flags));
    information.reset();
    if (auto r = guionPara("SecCodeCopySigningInformation")) return *r;
    if (sinInformacionDeFirma) return errSecSuccess;
    const CodigoDoble& c = dynamic_cast<const EstaticoEnDoble&>(code).codigo;
    InformacionDeFirma info{{"identifier", c.identificador}};
    if (c.firma == Firma::conEquipo) info[kSecCodeInfoTeamIdentifier] = c.equipo;
    information = std::move(info);
    return errSecSuccess;
}

OSStatus LlaveroDoble::SecRequirementCreateWithString(const std::string& text, SecCSFlags /*flags*/,
                                                      std::shared_ptr<SecRequirement>& requirement) {
    llamadas.emplace_back("SecRequirementCreateWithString");
    requisitos.push_back(text);
    requirement.reset();
    if (auto r = guionPara("SecRequirementCreateWithString")) return *r;
    requirement = std::make_shared<RequisitoEnDoble>(text);
    return errSecSuccess;
}

OSStatus LlaveroDoble::SecCodeCopyGuestWithAttributes(const SecCode* /*host*/,
                                                      const AtributosDeHuesped& attributes,
                                                      SecCSFlags /*flags*/, std::shared_ptr<SecCode>& guest) {
    llamadas.emplace_back("SecCodeCopyGuestWithAttributes");
    guest.reset();
    if (auto r = guionPara("SecCodeCopyGuestWithAttributes")) return *r;
    const auto pid = attributes.find(SecGuestAttribute::kSecGuestAttributePid);
    if (pid == attributes.end()) return -67065;
    const auto it = procesos.find(pid->second);
    if (it == procesos.end()) return -67065;  // no such guest
    guest = std::make_shared<CodigoEnDoble>(it->second);
    return errSecSuccess;
}

std::int32_t LlaveroDoble::getppid() {
    llamadas.emplace_back("getppid");
    return padre;
}

const ItemDoble* LlaveroDoble::item(const std::string& cuenta) const {
    for (const auto& i : items)
        if (i.cuenta == cuenta && i.servicio == VK_SERVICIO_BOVEDA) return &i;
    return nullptr;
}

void LlaveroDoble::poner(const std::string& cuenta, const std::string& bytes) {
    ItemDoble i;
    i.servicio = VK_SERVICIO_BOVEDA;
    i.cuenta = cuenta;
    i.proteccionDeDatos = true;
    i.control = std::make_shared<const SecAccessControl>(SecAccessControl{
        SecAttrAccessible::kSecAttrAccessibleWhenUnlockedThisDeviceOnly, kSecAccessControlUserPresence});
    i.datos = std::make_shared<const BytesSeguros>(reinterpret_cast<const unsigned char*>(bytes.data()),
                                                   bytes.size());
    items.push_back(std::move(i));
}
