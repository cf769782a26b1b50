#pragma once
// Items in the Secret Service (libsecret), stored in the default collection and found in any
// collection (the default one first). An item is matched by its attributes "service" and
// "account"; the secret is the bytes as stored. Attributes of locked items are visible, so a
// search never prompts; only unlocking can. Items are handled by their object paths: no proxy
// per item or collection, so a command costs few bus round trips.
#define SECRET_API_SUBJECT_TO_CHANGE
#include <libsecret/secret.h>

#include <optional>
#include <string>
#include <thread>
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
        std::string ruta;
        bool bloqueado = false;
        bool enLaPredeterminada = false;  // in the default collection
    };
    struct Propiedades {
        std::string etiqueta;
        std::string servicio;
        std::string cuenta;
        bool pidePresencia = true;  // an item that does not say otherwise needs the owner
    };

    // Opens the service once; errSecNotAvailable when nothing answers as a Secret Service on the
    // session bus. The default collection is looked up meanwhile: stores report its absence.
    // Never prompts.
    OSStatus abrir();

    // Bytes will be stored or read: the service's encrypted session (a key exchange that costs
    // several milliseconds of arithmetic and a round trip) is started on a thread of its own as
    // soon as the service is open, while the caller goes on with searches and the owner's check.
    // Storing and reading bytes wait for it; nothing else needs it. A failed start is left for
    // the operation that needs the session to meet and report.
    void preverSesion() {
        sesionPrevista_ = true;
        prepararSesion();
    }

    Llavero() = default;
    Llavero(const Llavero&) = delete;
    Llavero& operator=(const Llavero&) = delete;
    ~Llavero();

    // The items under (service, account) in every collection, the default collection's first,
    // locked ones included. With `acceso`, only those that record that access control.
    OSStatus buscar(const std::string& servicio, const std::string& cuenta, std::vector<Item>& items,
                    const char* acceso = nullptr);
    OSStatus propiedades(const Item& item, Propiedades& propiedades);

    // Unlocks the item if it is locked. With interaction forbidden that gives
    // errSecInteractionNotAllowed; a dismissed unlock prompt gives errSecUserCanceled.
    OSStatus desbloquear(Item& item, bool interaccion);

    // Stores a new item. Should another store have added one under the same attributes since the
    // caller looked, the service replaces that one in place: never two items for one account.
    OSStatus crear(const std::string& servicio, const std::string& cuenta,
                   const std::optional<std::string>& etiqueta, const BytesSeguros& datos, bool presencia);
    OSStatus borrar(const Item& item);
    OSStatus leerDatos(const Item& item, BytesSeguros& datos);

    // The item attribute that records the access control it was stored with.
    static constexpr const char* kAtributoAcceso = "acceso";
    static constexpr const char* kAccesoPresencia = "presencia";
    static constexpr const char* kAccesoLibre = "libre";

  private:
    static OSStatus estadoDe(const RecogeError& error);
    static OSStatus estadoDeItem(const RecogeError& error);
    // Whether an item found a moment ago is still there (errSecItemNotFound when another run
    // deleted it since) and whether it is locked.
    OSStatus sigueAhi(const Item& item, bool& cerrado);
    GVariant* propiedad(const std::string& ruta, const char* interfaz, const char* nombre,
                        RecogeError& error);
    void prepararSesion();  // no-op until the service is open
    void esperarSesion();
    void preguntarPorLaColeccion();
    static void alLeerElAlias(GObject* conexion, GAsyncResult* resultado, gpointer yo);
    OSStatus esperarLaColeccion();

    struct SueltaContexto {
        void operator()(GMainContext* contexto) const { g_main_context_unref(contexto); }
    };
    Propio<SecretService> servicio_;
    std::unique_ptr<GMainContext, SueltaContexto> contextoDelAlias_;
    bool aliasPendiente_ = false;
    std::string coleccion_;
    OSStatus estadoDeLaColeccion_ = errSecSuccess;
    std::thread sesion_;
    bool sesionPrevista_ = false;
};
