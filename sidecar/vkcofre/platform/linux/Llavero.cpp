#include "Llavero.h"

#include <algorithm>
#include <utility>

namespace {

struct SueltaValor {
    void operator()(SecretValue* valor) const { secret_value_unref(valor); }
};
using ValorPropio = std::unique_ptr<SecretValue, SueltaValor>;

struct SueltaRutas {
    void operator()(gchar** rutas) const { g_strfreev(rutas); }
};
using RutasPropias = std::unique_ptr<gchar*, SueltaRutas>;

TablaPropia atributosDeBusqueda(const std::string& servicio, const std::string& cuenta, const char* acceso) {
    TablaPropia tabla(g_hash_table_new_full(g_str_hash, g_str_equal, g_free, g_free));
    g_hash_table_insert(tabla.get(), g_strdup("service"), g_strdup(servicio.c_str()));
    g_hash_table_insert(tabla.get(), g_strdup("account"), g_strdup(cuenta.c_str()));
    if (acceso != nullptr)
        g_hash_table_insert(tabla.get(), g_strdup(Llavero::kAtributoAcceso), g_strdup(acceso));
    return tabla;
}

constexpr const char* kItem = "org.freedesktop.Secret.Item";

}  // namespace

OSStatus Llavero::estadoDeItem(const RecogeError& error) {
    // A path that was an item when it was found and is no longer one: another run deleted it in
    // between. That item is not found, whatever words the service has for it.
    const GError* e = error.get();
    if (e != nullptr && e->domain == G_DBUS_ERROR &&
        (e->code == G_DBUS_ERROR_UNKNOWN_OBJECT || e->code == G_DBUS_ERROR_UNKNOWN_METHOD ||
         e->code == G_DBUS_ERROR_UNKNOWN_INTERFACE || e->code == G_DBUS_ERROR_UNKNOWN_PROPERTY))
        return errSecItemNotFound;
    return estadoDe(error);
}

OSStatus Llavero::estadoDe(const RecogeError& error) {
    if (!error) return errSecSuccess;
    if (error.es(G_IO_ERROR, G_IO_ERROR_CANCELLED)) return errSecUserCanceled;
    if (error.es(SECRET_ERROR, SECRET_ERROR_IS_LOCKED)) return errSecInteractionNotAllowed;
    if (error.es(SECRET_ERROR, SECRET_ERROR_NO_SUCH_OBJECT)) return errSecItemNotFound;
    if (error.es(SECRET_ERROR, SECRET_ERROR_ALREADY_EXISTS)) return errSecDuplicateItem;
    const GError* e = error.get();
    if (e->domain == G_DBUS_ERROR &&
        (e->code == G_DBUS_ERROR_SERVICE_UNKNOWN || e->code == G_DBUS_ERROR_NAME_HAS_NO_OWNER ||
         e->code == G_DBUS_ERROR_DISCONNECTED || e->code == G_DBUS_ERROR_NO_REPLY))
        return errSecNotAvailable;
    return errSecInternalComponent;
}

OSStatus Llavero::abrir() {
    if (servicio_) return errSecSuccess;
    RecogeError error;
    // No session bus, or nobody owning the Secret Service name on it: there is no keychain.
    // libsecret's other backends (a file of its own) are never used.
    servicio_.reset(secret_service_get_sync(SECRET_SERVICE_NONE, nullptr, error.out()));
    if (!servicio_) return errSecNotAvailable;
    if (sesionPrevista_) prepararSesion();
    preguntarPorLaColeccion();
    return errSecSuccess;
}

// The default collection is asked for without waiting: the answer travels while the first search
// does, and is awaited where it is first needed.
void Llavero::preguntarPorLaColeccion() {
    contextoDelAlias_.reset(g_main_context_new());
    aliasPendiente_ = true;
    auto* proxy = G_DBUS_PROXY(servicio_.get());
    g_main_context_push_thread_default(contextoDelAlias_.get());
    g_dbus_connection_call(g_dbus_proxy_get_connection(proxy), g_dbus_proxy_get_name(proxy),
                           g_dbus_proxy_get_object_path(proxy), "org.freedesktop.Secret.Service", "ReadAlias",
                           g_variant_new("(s)", "default"), G_VARIANT_TYPE("(o)"), G_DBUS_CALL_FLAGS_NONE, -1,
                           nullptr, &Llavero::alLeerElAlias, this);
    g_main_context_pop_thread_default(contextoDelAlias_.get());
}

void Llavero::alLeerElAlias(GObject* conexion, GAsyncResult* resultado, gpointer yo) {
    auto* self = static_cast<Llavero*>(yo);
    RecogeError error;
    const VariantePropia respuesta(
        g_dbus_connection_call_finish(G_DBUS_CONNECTION(conexion), resultado, error.out()));
    self->aliasPendiente_ = false;
    const gchar* ruta = nullptr;
    if (respuesta) g_variant_get(respuesta.get(), "(&o)", &ruta);
    if (ruta != nullptr && g_strcmp0(ruta, "/") != 0) {
        self->coleccion_ = ruta;
        return;
    }
    // No default collection ("/"), or an answer that names none.
    const OSStatus estado = estadoDe(error);
    self->estadoDeLaColeccion_ =
        estado == errSecSuccess || estado == errSecInternalComponent ? errSecNoSuchKeychain : estado;
}

OSStatus Llavero::esperarLaColeccion() {
    while (aliasPendiente_)
        g_main_context_iteration(contextoDelAlias_.get(), TRUE);
    return coleccion_.empty() ? estadoDeLaColeccion_ : errSecSuccess;
}

Llavero::~Llavero() {
    (void)esperarLaColeccion();
    esperarSesion();
}

void Llavero::prepararSesion() {
    if (!servicio_ || sesion_.joinable()) return;
    if ((secret_service_get_flags(servicio_.get()) & SECRET_SERVICE_OPEN_SESSION) != 0) return;
    sesion_ = std::thread([servicio = servicio_.get()] {
        RecogeError error;
        (void)secret_service_ensure_session_sync(servicio, nullptr, error.out());
    });
}

void Llavero::esperarSesion() {
    if (sesion_.joinable()) sesion_.join();
}

OSStatus Llavero::buscar(const std::string& servicio, const std::string& cuenta, std::vector<Item>& items,
                         const char* acceso) {
    items.clear();
    const TablaPropia atributos = atributosDeBusqueda(servicio, cuenta, acceso);
    RecogeError error;
    gchar** abiertos = nullptr;
    gchar** cerrados = nullptr;
    // The service answers locked and unlocked matches apart; nothing is unlocked here, so a
    // dismissed unlock can never pass for "nothing stored".
    if (secret_service_search_for_dbus_paths_sync(servicio_.get(), nullptr, atributos.get(), nullptr,
                                                  &abiertos, &cerrados, error.out()) == FALSE)
        return estadoDe(error);
    const RutasPropias abiertosPropios(abiertos);
    const RutasPropias cerradosPropios(cerrados);
    // Items are stored in the default collection, but found in whichever holds them: should the
    // owner make another keyring the default, the key stays where it was and must not pass for
    // "nothing stored" (the application would then start over with a new one). The default
    // collection's come first; without a default collection the others are still found.
    (void)esperarLaColeccion();
    const std::string prefijo = coleccion_.empty() ? std::string() : coleccion_ + "/";
    for (const auto& [rutas, bloqueado] : {std::pair{abiertos, false}, std::pair{cerrados, true}})
        for (gchar** r = rutas; r != nullptr && *r != nullptr; ++r)
            items.push_back(
                {*r, bloqueado, !prefijo.empty() && g_str_has_prefix(*r, prefijo.c_str()) != FALSE});
    std::stable_partition(items.begin(), items.end(),
                          [](const Item& item) { return item.enLaPredeterminada; });
    return items.empty() ? errSecItemNotFound : errSecSuccess;
}

GVariant* Llavero::propiedad(const std::string& ruta, const char* interfaz, const char* nombre,
                             RecogeError& error) {
    auto* proxy = G_DBUS_PROXY(servicio_.get());
    GVariant* respuesta = g_dbus_connection_call_sync(
        g_dbus_proxy_get_connection(proxy), g_dbus_proxy_get_name(proxy), ruta.c_str(),
        "org.freedesktop.DBus.Properties", nombre != nullptr ? "Get" : "GetAll",
        nombre != nullptr ? g_variant_new("(ss)", interfaz, nombre) : g_variant_new("(s)", interfaz), nullptr,
        G_DBUS_CALL_FLAGS_NONE, -1, nullptr, error.out());
    if (respuesta == nullptr) return nullptr;
    GVariant* valor = nullptr;
    if (nombre != nullptr)
        g_variant_get(respuesta, "(v)", &valor);
    else
        g_variant_get(respuesta, "(@a{sv})", &valor);
    g_variant_unref(respuesta);
    return valor;
}

OSStatus Llavero::propiedades(const Item& item, Propiedades& propiedades) {
    RecogeError error;
    const VariantePropia todas(propiedad(item.ruta, kItem, nullptr, error));
    if (!todas) return estadoDeItem(error);
    const gchar* etiqueta = nullptr;
    if (g_variant_lookup(todas.get(), "Label", "&s", &etiqueta) != FALSE) propiedades.etiqueta = etiqueta;
    GVariant* atributos = g_variant_lookup_value(todas.get(), "Attributes", G_VARIANT_TYPE("a{ss}"));
    if (atributos != nullptr) {
        const VariantePropia propios(atributos);
        const gchar* valor = nullptr;
        if (g_variant_lookup(atributos, "service", "&s", &valor) != FALSE) propiedades.servicio = valor;
        if (g_variant_lookup(atributos, "account", "&s", &valor) != FALSE) propiedades.cuenta = valor;
        propiedades.pidePresencia = !(g_variant_lookup(atributos, kAtributoAcceso, "&s", &valor) != FALSE &&
                                      g_strcmp0(valor, kAccesoLibre) == 0);
    }
    return errSecSuccess;
}

OSStatus Llavero::desbloquear(Item& item, bool interaccion) {
    if (!item.bloqueado) return errSecSuccess;
    if (!interaccion) return errSecInteractionNotAllowed;
    RecogeError error;
    const gchar* rutas[] = {item.ruta.c_str(), nullptr};
    // The service shows its own prompt (the keyring's password) here; a dismissed prompt
    // unlocks nothing and reports no error.
    const gint cuantos =
        secret_service_unlock_dbus_paths_sync(servicio_.get(), rutas, nullptr, nullptr, error.out());
    if (error) return estadoDeItem(error);
    if (cuantos <= 0) {
        // Nothing unlocked: dismissed, unless the item went away meanwhile.
        bool cerrado = true;
        const OSStatus e = sigueAhi(item, cerrado);
        if (e != errSecSuccess) return e;
        if (cerrado) return errSecUserCanceled;
    }
    item.bloqueado = false;
    return errSecSuccess;
}

OSStatus Llavero::crear(const std::string& servicio, const std::string& cuenta,
                        const std::optional<std::string>& etiqueta, const BytesSeguros& datos,
                        bool presencia) {
    if (const OSStatus e = esperarLaColeccion(); e != errSecSuccess) return e;
    esperarSesion();
    GVariantBuilder atributos;
    g_variant_builder_init(&atributos, G_VARIANT_TYPE("a{ss}"));
    g_variant_builder_add(&atributos, "{ss}", "service", servicio.c_str());
    g_variant_builder_add(&atributos, "{ss}", "account", cuenta.c_str());
    g_variant_builder_add(&atributos, "{ss}", kAtributoAcceso, presencia ? kAccesoPresencia : kAccesoLibre);
    TablaPropia propiedades(g_hash_table_new_full(g_str_hash, g_str_equal, g_free,
                                                  reinterpret_cast<GDestroyNotify>(g_variant_unref)));
    g_hash_table_insert(propiedades.get(), g_strdup("org.freedesktop.Secret.Item.Label"),
                        g_variant_ref_sink(g_variant_new_string(etiqueta ? etiqueta->c_str() : "")));
    g_hash_table_insert(propiedades.get(), g_strdup("org.freedesktop.Secret.Item.Attributes"),
                        g_variant_ref_sink(g_variant_builder_end(&atributos)));
    // secret_value_new copies into libsecret's secure memory, wiped when the value is released;
    // the bytes travel over the session's encrypted transfer.
    ValorPropio valor(secret_value_new(reinterpret_cast<const gchar*>(datos.data()),
                                       static_cast<gssize>(datos.size()), "application/octet-stream"));
    RecogeError error;
    gchar* ruta = secret_service_create_item_dbus_path_sync(servicio_.get(), coleccion_.c_str(),
                                                            propiedades.get(), valor.get(),
                                                            SECRET_ITEM_CREATE_REPLACE, nullptr, error.out());
    if (ruta == nullptr) return error ? estadoDe(error) : errSecInternalComponent;
    g_free(ruta);
    return errSecSuccess;
}

OSStatus Llavero::borrar(const Item& item) {
    RecogeError error;
    if (secret_service_delete_item_dbus_path_sync(servicio_.get(), item.ruta.c_str(), nullptr, error.out()) ==
        FALSE)
        return estadoDeItem(error);
    return errSecSuccess;
}

OSStatus Llavero::sigueAhi(const Item& item, bool& cerrado) {
    RecogeError error;
    const VariantePropia valor(propiedad(item.ruta, kItem, "Locked", error));
    if (!valor) return error ? estadoDeItem(error) : errSecItemNotFound;
    if (g_variant_is_of_type(valor.get(), G_VARIANT_TYPE_BOOLEAN) == FALSE) return errSecInternalComponent;
    cerrado = g_variant_get_boolean(valor.get()) != FALSE;
    return errSecSuccess;
}

OSStatus Llavero::leerDatos(const Item& item, BytesSeguros& datos) {
    esperarSesion();
    RecogeError error;
    ValorPropio valor(secret_service_get_secret_for_dbus_path_sync(servicio_.get(), item.ruta.c_str(),
                                                                   nullptr, error.out()));
    if (error) return estadoDeItem(error);
    if (!valor) {
        // No secret and no error: the item was locked again, or deleted, since it was found.
        bool cerrado = false;
        const OSStatus e = sigueAhi(item, cerrado);
        if (e != errSecSuccess) return e;
        return cerrado ? errSecInteractionNotAllowed : errSecInternalComponent;
    }
    gsize largo = 0;
    const gchar* bytes = secret_value_get(valor.get(), &largo);
    datos = BytesSeguros(reinterpret_cast<const unsigned char*>(bytes), largo);
    return errSecSuccess;
}
