#include "Presencia.h"

#include <string>
#include <utility>

namespace {

constexpr guint32 kPermitirInteraccion = 1;  // POLKIT_CHECK_AUTHORIZATION_FLAGS_ALLOW_USER_INTERACTION

// The subject is this process, named by its connection to the authority's bus: the authority
// asks the bus who holds that name (its pid, uid and, where the bus has it, a pidfd), so neither
// a reused pid nor a start time read apart from it can stand in for us.
GVariant* sujeto(GDBusConnection* bus) {
    GVariantBuilder detalles;
    g_variant_builder_init(&detalles, G_VARIANT_TYPE("a{sv}"));
    g_variant_builder_add(&detalles, "{sv}", "name",
                          g_variant_new_string(g_dbus_connection_get_unique_name(bus)));
    return g_variant_new("(sa{sv})", "system-bus-name", &detalles);
}

}  // namespace

Presencia::Presencia(std::string direccionBus, std::string accion)
    : direccionBus_(std::move(direccionBus)), accion_(std::move(accion)) {}

GDBusConnection* Presencia::conexion(std::string& error) {
    if (conexion_) return conexion_.get();
    RecogeError e;
    conexion_.reset(g_dbus_connection_new_for_address_sync(
        direccionBus_.c_str(),
        static_cast<GDBusConnectionFlags>(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
                                          G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
        nullptr, nullptr, e.out()));
    if (!conexion_) error = e.mensaje();
    return conexion_.get();
}

Presencia::Respuesta Presencia::preguntar(bool interaccion) {
    Respuesta respuesta;
    GDBusConnection* bus = conexion(respuesta.error);
    if (bus == nullptr) {
        respuesta.fallo = true;
        return respuesta;
    }
    // No details: the authority takes them only from root or the action's owner and refuses the
    // whole call otherwise. The dialog shows the action's own message.
    GVariantBuilder detalles;
    g_variant_builder_init(&detalles, G_VARIANT_TYPE("a{ss}"));
    RecogeError error;
    // No time limit: the call lasts as long as the owner looks at the dialog.
    VariantePropia resultado(g_dbus_connection_call_sync(
        bus, "org.freedesktop.PolicyKit1", "/org/freedesktop/PolicyKit1/Authority",
        "org.freedesktop.PolicyKit1.Authority", "CheckAuthorization",
        g_variant_new("(@(sa{sv})sa{ss}us)", sujeto(bus), accion_.c_str(), &detalles,
                      interaccion ? kPermitirInteraccion : 0U, ""),
        G_VARIANT_TYPE("((bba{ss}))"), G_DBUS_CALL_FLAGS_NONE, G_MAXINT, nullptr, error.out()));
    if (!resultado) {
        respuesta.fallo = true;
        GError* copia = g_error_copy(error.get());
        g_dbus_error_strip_remote_error(copia);
        respuesta.error = copia->message;
        g_error_free(copia);
        return respuesta;
    }
    gboolean autorizado = FALSE;
    gboolean desafio = FALSE;
    GVariant* mapa = nullptr;
    g_variant_get(resultado.get(), "((bb@a{ss}))", &autorizado, &desafio, &mapa);
    const VariantePropia mapaPropio(mapa);
    const gchar* descartado = nullptr;
    respuesta.descartado = g_variant_lookup(mapa, "polkit.dismissed", "&s", &descartado) != FALSE;
    respuesta.autorizado = autorizado != FALSE;
    respuesta.desafio = desafio != FALSE;
    return respuesta;
}

OSStatus Presencia::confirmar() {
    const Respuesta r = preguntar(true);
    if (r.fallo) return errSecNotAvailable;
    if (r.autorizado) return errSecSuccess;
    if (r.descartado) return errSecUserCanceled;
    if (r.desafio) return errSecInteractionNotAllowed;
    return errSecAuthFailed;
}

EvaluacionDePolitica Presencia::puedeAutenticar() {
    const Respuesta r = preguntar(false);
    if (r.fallo) return {false, r.error};
    // A challenge means an agent could authenticate the owner: that is what is asked.
    if (r.autorizado || r.desafio) return {true, std::nullopt};
    return {false, "polkit no deja que el usuario se autentique para " + accion_};
}
