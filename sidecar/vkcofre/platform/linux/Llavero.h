#pragma once
// Items in the Secret Service (libsecret), default collection. An item is matched by its
// attributes "service" and "account"; the secret is the bytes as stored. Attributes of locked
// items are visible, so a search never prompts; only unlocking and reading data can.
#include <libsecret/secret.h>

#include <optional>
#include <string>
#include <vector>

#include "Glib.h"
#include "platform/Security.h"

// Statuses this backend reports beyond the ones the vault tells apart.
inline constexpr OSStatus errSecParam = -50;
inline constexpr OSStatus errSecNoSuchKeychain = -25294;
inline constexpr OSStatus errSecDuplicateItem = -25299;
inline constexpr OSStatus errSecInternalComponent = -26276;

class Llavero {
  public:
    struct Item {
        Propio<SecretItem> item;
        bool bloqueado = false;
        bool pidePresencia = true;  // an item that does not say otherwise needs the owner
    };

    // Opens the service and the default collection once; errSecNotAvailable when nothing
    // answers as a Secret Service on the session bus. Never prompts.
    OSStatus abrir();

    // The items of the default collection under (service, account), locked ones included.
    OSStatus buscar(const std::string& servicio, const std::string& cuenta, std::vector<Item>& items);

    // Unlocks what is locked among the items. With
    // interaction forbidden a locked object gives errSecInteractionNotAllowed; a dismissed
    // unlock prompt gives errSecUserCanceled.
    OSStatus desbloquear(std::vector<Item>& items, bool interaccion);
    bool coleccionBloqueada() const;

    OSStatus crear(const std::string& servicio, const std::string& cuenta,
                   const std::optional<std::string>& etiqueta, const BytesSeguros& datos, bool presencia);
    OSStatus borrar(Item& item);
    OSStatus leerDatos(Item& item, BytesSeguros& datos);
    static AtributosDeItem atributos(const Item& item);

    // The item attribute that records the access control it was stored with.
    static constexpr const char* kAtributoAcceso = "acceso";
    static constexpr const char* kAccesoPresencia = "presencia";
    static constexpr const char* kAccesoLibre = "libre";

  private:
    static OSStatus estadoDe(const RecogeError& error);
    Propio<SecretService> servicio_;
    Propio<SecretCollection> coleccion_;
};
