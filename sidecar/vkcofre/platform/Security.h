#pragma once
// The vault's whole view of the platform: keychain items, access control, the owner's
// authentication and code identity. Names follow the platform's own so the logic reads the same
// on every backend; behind this header there is a Linux backend (platform/linux/), a test double
// (tests/vkcofre/) and room for a macOS one.
//
// Contract for every backend:
// - One thread. The vault calls everything from its main thread, one call at a time; nothing is
//   called back later. Any call may block for as long as it needs (SecItemCopyMatching blocks
//   while the system asks the owner to authenticate). The vault sets no time limit.
// - Errors are statuses (OSStatus, 0 is success), never exceptions. Out of memory is the only
//   exception that may cross this seam.
// - Queries are checked above the seam: the vault only ever builds the queries described on
//   SecItemAdd / SecItemCopyMatching / SecItemDelete below, and backends may trust that shape.
// - Secret bytes cross the seam only as BytesSeguros (locked, wiped memory). A backend keeps its
//   own copies of secret bytes in locked memory too and wipes them when done.
// - Nothing here writes to standard output or standard error.
#include <sodium.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include <variant>

// ---------------------------------------------------------------------------------------------
// Statuses

using OSStatus = std::int32_t;

inline constexpr OSStatus errSecSuccess = 0;
inline constexpr OSStatus errSecUserCanceled = -128;             // the owner dismissed the prompt
inline constexpr OSStatus errSecNotAvailable = -25291;           // no keychain service to talk to
inline constexpr OSStatus errSecAuthFailed = -25293;             // the owner failed to authenticate
inline constexpr OSStatus errSecItemNotFound = -25300;           // no item matches
inline constexpr OSStatus errSecInteractionNotAllowed = -25308;  // would have had to prompt
inline constexpr OSStatus errSecMissingEntitlement = -34018;     // the program may not use it

// ---------------------------------------------------------------------------------------------
// Secret bytes: locked (never swapped), guarded and wiped on release, by libsodium.
// Move-only; copy on purpose with copia(). A new buffer is all zeros; an empty one holds no
// allocation.

class BytesSeguros {
  public:
    BytesSeguros() = default;
    explicit BytesSeguros(std::size_t tamano) : tamano_(tamano) {
        if (tamano_ == 0) return;
        if (sodium_init() < 0) throw std::bad_alloc();
        datos_ = static_cast<unsigned char*>(sodium_malloc(tamano_));
        if (datos_ == nullptr) throw std::bad_alloc();
        sodium_memzero(datos_, tamano_);  // sodium_malloc fills with a canary pattern
    }
    BytesSeguros(const unsigned char* origen, std::size_t tamano) : BytesSeguros(tamano) {
        if (tamano_ > 0) std::copy(origen, origen + tamano_, datos_);
    }
    BytesSeguros(const BytesSeguros&) = delete;
    BytesSeguros& operator=(const BytesSeguros&) = delete;
    BytesSeguros(BytesSeguros&& otro) noexcept
        : datos_(std::exchange(otro.datos_, nullptr)), tamano_(std::exchange(otro.tamano_, 0)) {}
    BytesSeguros& operator=(BytesSeguros&& otro) noexcept {
        if (this != &otro) {
            liberar();
            datos_ = std::exchange(otro.datos_, nullptr);
            tamano_ = std::exchange(otro.tamano_, 0);
        }
        return *this;
    }
    ~BytesSeguros() { liberar(); }

    unsigned char* data() { return datos_; }
    const unsigned char* data() const { return datos_; }
    std::size_t size() const { return tamano_; }
    bool empty() const { return tamano_ == 0; }
    BytesSeguros copia() const { return BytesSeguros(datos_, tamano_); }
    // Constant-time comparison, so tests and backends never branch on secret contents.
    bool igualA(const BytesSeguros& otro) const {
        return tamano_ == otro.tamano_ && (tamano_ == 0 || sodium_memcmp(datos_, otro.datos_, tamano_) == 0);
    }

  private:
    void liberar() noexcept {
        if (datos_ != nullptr) sodium_free(datos_);  // sodium_free wipes before unmapping
        datos_ = nullptr;
        tamano_ = 0;
    }
    unsigned char* datos_ = nullptr;
    std::size_t tamano_ = 0;
};

// ---------------------------------------------------------------------------------------------
// Access control and authentication context

enum class SecAttrAccessible {
    kSecAttrAccessibleWhenUnlockedThisDeviceOnly,  // the only one the vault uses
};

using SecAccessControlCreateFlags = std::uint32_t;
inline constexpr SecAccessControlCreateFlags kSecAccessControlUserPresence = 1;

// What an item's data needs before it is handed out. Made only by
// Security::SecAccessControlCreateWithFlags.
struct SecAccessControl {
    SecAttrAccessible accesibilidad = SecAttrAccessible::kSecAttrAccessibleWhenUnlockedThisDeviceOnly;
    SecAccessControlCreateFlags flags = 0;
};

using LAPolicy = std::int32_t;
inline constexpr LAPolicy LAPolicyDeviceOwnerAuthentication = 2;  // biometrics or the password

// The answer of LAContext::canEvaluatePolicy: the Boolean, and the error's localized
// description when the platform returned an error with it (it may do so with either answer).
struct EvaluacionDePolitica {
    bool puede = false;
    std::optional<std::string> motivo;
};

// One authentication context; the vault makes a new one for each use (Security::nuevoLAContext)
// and hands it to the keychain in a query under kSecUseAuthenticationContext. The keychain reads
// localizedReason() for its prompt and must not prompt at all when interactionNotAllowed() is
// true: it then answers errSecInteractionNotAllowed where it would have prompted (or, for a
// presence test, any status other than errSecItemNotFound when an item matches).
class LAContext {
  public:
    virtual ~LAContext() = default;
    // Can the device owner authenticate under this policy now? Never prompts.
    virtual EvaluacionDePolitica canEvaluatePolicy(LAPolicy politica) = 0;

    void setLocalizedReason(std::string motivo) { localizedReason_ = std::move(motivo); }
    const std::string& localizedReason() const { return localizedReason_; }
    void setInteractionNotAllowed(bool noPermitida) { interactionNotAllowed_ = noPermitida; }
    bool interactionNotAllowed() const { return interactionNotAllowed_; }

  private:
    std::string localizedReason_;
    bool interactionNotAllowed_ = false;
};

// ---------------------------------------------------------------------------------------------
// Keychain queries: keyed values, as the platform takes them.

enum class SecClave {
    kSecClass,                      // SecClass
    kSecAttrService,                // std::string
    kSecAttrAccount,                // std::string
    kSecUseDataProtectionKeychain,  // bool (always true in the vault's queries)
    kSecValueData,                  // std::shared_ptr<const BytesSeguros>
    kSecAttrAccessControl,          // std::shared_ptr<const SecAccessControl>
    kSecAttrLabel,                  // std::string (UTF-8)
    kSecReturnData,                 // bool
    kSecReturnAttributes,           // bool
    kSecMatchLimit,                 // SecMatchLimit
    kSecUseAuthenticationContext,   // std::shared_ptr<LAContext>
};

enum class SecClass { kSecClassGenericPassword };
enum class SecMatchLimit { kSecMatchLimitOne };

using ValorDeConsulta =
    std::variant<bool, std::string, SecClass, SecMatchLimit, std::shared_ptr<const BytesSeguros>,
                 std::shared_ptr<const SecAccessControl>, std::shared_ptr<LAContext>>;
using Consulta = std::map<SecClave, ValorDeConsulta>;

// The value under a key when it is there with that type; nullptr otherwise.
template <class T>
const T* valorDe(const Consulta& consulta, SecClave clave) {
    const auto it = consulta.find(clave);
    return it == consulta.end() ? nullptr : std::get_if<T>(&it->second);
}

// Attributes of an item, when kSecReturnAttributes is asked for with a result slot.
using AtributosDeItem = std::map<SecClave, std::string>;

// What SecItemCopyMatching puts in the result slot: nothing, the item's bytes
// (kSecReturnData), or something else (attributes).
using ResultadoDeBusqueda = std::variant<std::monostate, BytesSeguros, AtributosDeItem>;

// ---------------------------------------------------------------------------------------------
// Code identity

using SecCSFlags = std::uint32_t;
inline constexpr SecCSFlags kSecCSDefaultFlags = 0;
inline constexpr SecCSFlags kSecCSSigningInformation = 2;

// Opaque handles, made by the backend; the vault only passes them back to it.
class SecCode {
  public:
    virtual ~SecCode() = default;
};
class SecStaticCode {
  public:
    virtual ~SecStaticCode() = default;
};
class SecRequirement {
  public:
    virtual ~SecRequirement() = default;
};

// Signing information: entries by name. The vault reads only whether kSecCodeInfoTeamIdentifier
// is there, not its value.
inline constexpr const char* kSecCodeInfoTeamIdentifier = "teamid";
using InformacionDeFirma = std::map<std::string, std::string>;

enum class SecGuestAttribute { kSecGuestAttributePid };
using AtributosDeHuesped = std::map<SecGuestAttribute, std::int32_t>;

// The release identity a build is configured with: the maker's team identifier (10 characters)
// and the two application identifiers a reader must be signed as. All empty in a build
// configured without one (the developer build, signed without a team).
struct IdentidadDeLaApp {
    std::string equipo;
    std::string aplicacion;
    std::string otraAplicacion;
};

// ---------------------------------------------------------------------------------------------
// The platform

class Security {
  public:
    virtual ~Security() = default;

    // --- keychain items. The vault's queries always hold kSecClass = kSecClassGenericPassword,
    // kSecAttrService, kSecAttrAccount and kSecUseDataProtectionKeychain = true; an item is
    // matched by class, service and account; there is at most one item per (service, account).

    // Stores a new item from kSecValueData, kSecAttrAccessControl and, when present,
    // kSecAttrLabel. An item already there under the same service and account is not replaced.
    virtual OSStatus SecItemAdd(const Consulta& consulta) = 0;

    // 0 when an item matches. With kSecReturnData true and a result slot, the slot receives the
    // item's bytes; that use of the data is what the item's access control guards, so this is
    // where the owner is asked (showing the context's localizedReason), unless the context
    // forbids interaction. Without kSecReturnData the data is not used and nobody is asked.
    // resultado may be null (no result slot); when given it is reset first.
    virtual OSStatus SecItemCopyMatching(const Consulta& consulta, ResultadoDeBusqueda* resultado) = 0;

    // Deletes every match; errSecItemNotFound when there is none. Never prompts.
    virtual OSStatus SecItemDelete(const Consulta& consulta) = 0;

    // The access-control object, or null when it cannot be made (the error is not reported).
    virtual std::shared_ptr<const SecAccessControl> SecAccessControlCreateWithFlags(
        SecAttrAccessible accesibilidad, SecAccessControlCreateFlags flags) = 0;

    // A new authentication context: no reason, interaction allowed.
    virtual std::shared_ptr<LAContext> nuevoLAContext() = 0;

    // --- code identity. Every out-parameter is reset first and filled only on success; a
    // success that leaves it null counts as a failure for the caller.

    // The running program itself.
    virtual OSStatus SecCodeCopySelf(SecCSFlags flags, std::shared_ptr<SecCode>& self) = 0;
    // 0 when the code is validly signed and, with a requirement, satisfies it.
    virtual OSStatus SecCodeCheckValidity(const SecCode& code, SecCSFlags flags,
                                          const SecRequirement* requirement) = 0;
    virtual OSStatus SecCodeCopyStaticCode(const SecCode& code, SecCSFlags flags,
                                           std::shared_ptr<SecStaticCode>& staticCode) = 0;
    // With kSecCSSigningInformation: the signing information, holding
    // kSecCodeInfoTeamIdentifier when the signature names a team.
    virtual OSStatus SecCodeCopySigningInformation(const SecStaticCode& code, SecCSFlags flags,
                                                   std::optional<InformacionDeFirma>& information) = 0;
    virtual OSStatus SecRequirementCreateWithString(const std::string& text, SecCSFlags flags,
                                                    std::shared_ptr<SecRequirement>& requirement) = 0;
    // The running code of the process named by kSecGuestAttributePid; host null means the system.
    virtual OSStatus SecCodeCopyGuestWithAttributes(const SecCode* host, const AtributosDeHuesped& attributes,
                                                    SecCSFlags flags, std::shared_ptr<SecCode>& guest) = 0;

    // The parent's process id.
    virtual std::int32_t getppid() = 0;

    // The identity this build was configured with (build-time settings of the backend). The vault
    // writes the reader's requirement from it and hands that text to SecRequirementCreateWithString.
    virtual IdentidadDeLaApp identidadDeLaApp() { return {}; }
};

// The backend the shipped program uses; each platform backend defines it.
std::unique_ptr<Security> securityDelSistema();
