#include "Llavero.h"

#include <cstring>
#include <utility>

namespace {

struct SueltaLista {
    void operator()(GList* lista) const { g_list_free_full(lista, g_object_unref); }
};
using ListaPropia = std::unique_ptr<GList, SueltaLista>;

struct SueltaValor {
    void operator()(SecretValue* valor) const { secret_value_unref(valor); }
};
using ValorPropio = std::unique_ptr<SecretValue, SueltaValor>;

TablaPropia atributosDeBusqueda(const std::string& servicio, const std::string& cuenta) {
    TablaPropia tabla(g_hash_table_new_full(g_str_hash, g_str_equal, g_free, g_free));
    g_hash_table_insert(tabla.get(), g_strdup("service"), g_strdup(servicio.c_str()));
    g_hash_table_insert(tabla.get(), g_strdup("account"), g_strdup(cuenta.c_str()));
    return tabla;
}

std::string atributo(SecretItem* item, const char* nombre) {
    std::string valor;
    if (GHashTable* tabla = secret_item_get_attributes(item)) {
        if (const auto* texto = static_cast<const char*>(g_hash_table_lookup(tabla, nombre))) valor = texto;
        g_hash_table_unref(tabla);
    }
    return valor;
}

}  // namespace

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
    if (coleccion_) return errSecSuccess;
    RecogeError error;
    // No session bus, or nobody owning the Secret Service name on it: there is no keychain.
    // libsecret's other backends (a file of its own) are never used.
    servicio_.reset(secret_service_get_sync(SECRET_SERVICE_NONE, nullptr, error.out()));
    if (!servicio_) return errSecNotAvailable;
    coleccion_.reset(secret_collection_for_alias_sync(servicio_.get(), SECRET_COLLECTION_DEFAULT,
                                                      SECRET_COLLECTION_NONE, nullptr, error.out()));
    if (!coleccion_) {
        const OSStatus estado = estadoDe(error);
        return estado == errSecSuccess || estado == errSecInternalComponent ? errSecNoSuchKeychain : estado;
    }
    return errSecSuccess;
}

OSStatus Llavero::buscar(const std::string& servicio, const std::string& cuenta, std::vector<Item>& items) {
    items.clear();
    const TablaPropia atributos = atributosDeBusqueda(servicio, cuenta);
    RecogeError error;
    // No SECRET_SEARCH_UNLOCK: locked items match too, so a dismissed unlock can never pass for
    // "nothing stored".
    ListaPropia lista(secret_collection_search_sync(coleccion_.get(), nullptr, atributos.get(),
                                                    SECRET_SEARCH_ALL, nullptr, error.out()));
    if (error) return estadoDe(error);
    for (GList* l = lista.get(); l != nullptr; l = l->next) {
        auto* item = static_cast<SecretItem*>(l->data);
        Item encontrado;
        encontrado.item.reset(static_cast<SecretItem*>(g_object_ref(item)));
        encontrado.bloqueado = secret_item_get_locked(item) != FALSE;
        encontrado.pidePresencia = atributo(item, kAtributoAcceso) != kAccesoLibre;
        items.push_back(std::move(encontrado));
    }
    return items.empty() ? errSecItemNotFound : errSecSuccess;
}

OSStatus Llavero::desbloquear(std::vector<Item>& items, bool interaccion) {
    GList* bloqueados = nullptr;
    for (const Item& i : items)
        if (i.bloqueado) bloqueados = g_list_prepend(bloqueados, i.item.get());
    if (bloqueados == nullptr) return errSecSuccess;
    if (!interaccion) {
        g_list_free(bloqueados);
        return errSecInteractionNotAllowed;
    }
    RecogeError error;
    GList* desbloqueados = nullptr;
    // The service shows its own prompt (the keyring's password) here; a dismissed prompt
    // unlocks nothing and reports no error.
    const gint cuantos =
        secret_service_unlock_sync(servicio_.get(), bloqueados, nullptr, &desbloqueados, error.out());
    g_list_free(bloqueados);
    g_list_free_full(desbloqueados, g_object_unref);
    if (error) return estadoDe(error);
    if (cuantos <= 0) return errSecUserCanceled;
    for (Item& i : items)
        i.bloqueado = secret_item_get_locked(i.item.get()) != FALSE;
    return errSecSuccess;
}

bool Llavero::coleccionBloqueada() const {
    return secret_collection_get_locked(coleccion_.get()) != FALSE;
}

OSStatus Llavero::crear(const std::string& servicio, const std::string& cuenta,
                        const std::optional<std::string>& etiqueta, const BytesSeguros& datos,
                        bool presencia) {
    const TablaPropia atributos = atributosDeBusqueda(servicio, cuenta);
    g_hash_table_insert(atributos.get(), g_strdup(kAtributoAcceso),
                        g_strdup(presencia ? kAccesoPresencia : kAccesoLibre));
    // secret_value_new copies into libsecret's own non-pageable memory and wipes it on release.
    ValorPropio valor(secret_value_new(reinterpret_cast<const gchar*>(datos.data()),
                                       static_cast<gssize>(datos.size()), "application/octet-stream"));
    RecogeError error;
    Propio<SecretItem> item(secret_item_create_sync(coleccion_.get(), nullptr, atributos.get(),
                                                    etiqueta ? etiqueta->c_str() : "", valor.get(),
                                                    SECRET_ITEM_CREATE_NONE, nullptr, error.out()));
    if (!item) return error ? estadoDe(error) : errSecInternalComponent;
    return errSecSuccess;
}

OSStatus Llavero::borrar(Item& item) {
    RecogeError error;
    if (secret_item_delete_sync(item.item.get(), nullptr, error.out()) == FALSE) return estadoDe(error);
    return errSecSuccess;
}

OSStatus Llavero::leerDatos(Item& item, BytesSeguros& datos) {
    RecogeError error;
    if (secret_item_load_secret_sync(item.item.get(), nullptr, error.out()) == FALSE) return estadoDe(error);
    ValorPropio valor(secret_item_get_secret(item.item.get()));
    if (!valor) return errSecInteractionNotAllowed;  // still locked
    gsize largo = 0;
    const gchar* bytes = secret_value_get(valor.get(), &largo);
    datos = BytesSeguros(reinterpret_cast<const unsigned char*>(bytes), largo);
    return errSecSuccess;
}

AtributosDeItem Llavero::atributos(const Item& item) {
    AtributosDeItem resultado;
    resultado[SecClave::kSecAttrService] = atributo(item.item.get(), "service");
    resultado[SecClave::kSecAttrAccount] = atributo(item.item.get(), "account");
    if (gchar* etiqueta = secret_item_get_label(item.item.get())) {
        resultado[SecClave::kSecAttrLabel] = etiqueta;
        g_free(etiqueta);
    }
    return resultado;
}
