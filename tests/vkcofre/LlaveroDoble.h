#pragma once
// A keychain, an owner and a code identity in memory, behind the vault's platform seam.
// Honours the query semantics the vault relies on (match by class, service and account; data
// only when asked for; one item per service and account), answers scripted statuses, and
// records every call in order.
#include <deque>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/Security.h"

struct ItemDoble {
    std::string servicio;
    std::string cuenta;
    std::string etiqueta;  // empty when none was given
    bool proteccionDeDatos = false;
    std::shared_ptr<const SecAccessControl> control;
    std::shared_ptr<const BytesSeguros> datos;
};

// What the owner does when the keychain asks.
enum class Presencia { aprueba, cancela, falla };

// How a piece of code is signed.
enum class Firma { conEquipo, sinEquipo, sinFirmar, danada };

struct CodigoDoble {
    Firma firma = Firma::conEquipo;
    std::string equipo;         // team, for Firma::conEquipo
    std::string identificador;  // signing identifier
};

class LlaveroDoble : public Security {
  public:
    // --- scripted behaviour
    std::vector<ItemDoble> items;
    // Per operation name ("SecItemAdd", "SecItemCopyMatching", "SecItemDelete",
    // "SecCodeCopySelf", ...): the answers of its next calls, in order. A value is returned
    // without doing anything; nullopt lets that call behave normally.
    std::map<std::string, std::deque<std::optional<OSStatus>>> guion;
    // The operation ("SecItemAdd", ...) whose next call runs out of memory (throws std::bad_alloc).
    std::string sinMemoriaEn;
    Presencia presencia = Presencia::aprueba;
    bool controlDeAccesoFalla = false;
    EvaluacionDePolitica evaluacion{true, std::nullopt};
    CodigoDoble propio{Firma::sinEquipo, "", "com.veskora.desktop.llavero"};
    std::map<std::int32_t, CodigoDoble> procesos;  // running code by pid; others are not found
    std::int32_t padre = 4242;
    IdentidadDeLaApp identidad{"EQUIPO1234", "com.veskora.desktop", "com.veskora.desktop.beta"};
    // A data read answers with the item's attributes instead of its bytes (a result of another kind).
    bool datosComoAtributos = false;
    // Given in place of the signing information when set (a result without the dictionary).
    bool sinInformacionDeFirma = false;

    // --- what happened
    std::vector<std::string> llamadas;      // "SecItemAdd clave-maestra", "prompt: motivo", ...
    std::vector<Consulta> consultas;        // every item query, in order
    std::vector<std::string> requisitos;    // requirement texts compiled
    std::size_t tocadasDelLlavero() const;  // item calls made so far

    // --- the seam
    OSStatus SecItemAdd(const Consulta& consulta) override;
    OSStatus SecItemCopyMatching(const Consulta& consulta, ResultadoDeBusqueda* resultado) override;
    OSStatus SecItemDelete(const Consulta& consulta) override;
    std::shared_ptr<const SecAccessControl> SecAccessControlCreateWithFlags(
        SecAttrAccessible accesibilidad, SecAccessControlCreateFlags flags) override;
    std::shared_ptr<LAContext> nuevoLAContext() override;
    OSStatus SecCodeCopySelf(SecCSFlags flags, std::shared_ptr<SecCode>& self) override;
    OSStatus SecCodeCheckValidity(const SecCode& code, SecCSFlags flags,
                                  const SecRequirement* requirement) override;
    OSStatus SecCodeCopyStaticCode(const SecCode& code, SecCSFlags flags,
                                   std::shared_ptr<SecStaticCode>& staticCode) override;
    OSStatus SecCodeCopySigningInformation(const SecStaticCode& code, SecCSFlags flags,
                                           std::optional<InformacionDeFirma>& information) override;
    OSStatus SecRequirementCreateWithString(const std::string& text, SecCSFlags flags,
                                            std::shared_ptr<SecRequirement>& requirement) override;
    OSStatus SecCodeCopyGuestWithAttributes(const SecCode* host, const AtributosDeHuesped& attributes,
                                            SecCSFlags flags, std::shared_ptr<SecCode>& guest) override;
    std::int32_t getppid() override;
    IdentidadDeLaApp identidadDeLaApp() override { return identidad; }

    // The item under an account of the vault's service, if any.
    const ItemDoble* item(const std::string& cuenta) const;
    // Stores bytes directly, as an earlier run would have.
    void poner(const std::string& cuenta, const std::string& bytes);

  private:
    std::optional<OSStatus> guionPara(const std::string& operacion);
    std::vector<ItemDoble>::iterator buscar(const Consulta& consulta);
};

// A text of the given bytes.
std::string textoDe(const BytesSeguros& bytes);
