#include "Presencia.h"

#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <utility>

namespace {

constexpr guint32 kPermitirInteraccion = 1;  // POLKIT_CHECK_AUTHORIZATION_FLAGS_ALLOW_USER_INTERACTION

// When this process started, in clock ticks since boot (field 22 of /proc/self/stat), as the
// authority records it.
guint64 inicioDelProceso() {
    std::ifstream stat("/proc/self/stat");
    std::string linea;
    std::getline(stat, linea);
    const auto fin = linea.rfind(')');  // the command name may hold spaces and parentheses
    if (fin == std::string::npos) return 0;
    std::istringstream campos(linea.substr(fin + 1));
    std::string campo;
    for (int i = 3; i <= 22 && campos >> campo; ++i) {
        if (i == 22) return std::strtoull(campo.c_str(), nullptr, 10);
    }
    return 0;
}

// The subject is this process, named the way the authority identifies it (pid, start time,
// uid), so a reused pid can never inherit the answer.
GVariant* sujeto() {
    GVariantBuilder detalles;
    g_variant_builder_init(&detalles, G_VARIANT_TYPE("a{sv}"));
    g_variant_builder_add(&detalles, "{sv}", "pid", g_variant_new_uint32(static_cast<guint32>(::getpid())));
    g_variant_builder_add(&detalles, "{sv}", "start-time", g_variant_new_uint64(inicioDelProceso()));
    g_variant_builder_add(&detalles, "{sv}", "uid", g_variant_new_int32(static_cast<gint32>(::getuid())));
    return g_variant_new("(sa{sv})", "unix-process", &detalles);
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

Presencia::Respuesta Presencia::preguntar(bool interaccion, const std::string* motivo) {
    Respuesta respuesta;
    GDBusConnection* bus = conexion(respuesta.error);
    if (bus == nullptr) {
        respuesta.fallo = true;
        return respuesta;
    }
    GVariantBuilder detalles;
    g_variant_builder_init(&detalles, G_VARIANT_TYPE("a{ss}"));
    if (motivo != nullptr) g_variant_builder_add(&detalles, "{ss}", "polkit.message", motivo->c_str());
    RecogeError error;
    // No time limit: the call lasts as long as the owner looks at the dialog.
    VariantePropia resultado(g_dbus_connection_call_sync(
        bus, "org.freedesktop.PolicyKit1", "/org/freedesktop/PolicyKit1/Authority",
        "org.freedesktop.PolicyKit1.Authority", "CheckAuthorization",
        g_variant_new("(@(sa{sv})sa{ss}us)", sujeto(), accion_.c_str(), &detalles,
                      interaccion ? kPermitirInteraccion : 0U, ""),
        G_VARIANT_TYPE("((bba{ss}))"), G_DBUS_CALL_FLAGS_NONE, G_MAXINT, nullptr, error.out()));
    if (!resultado) {
        respuesta.fallo = true;
        // The authority lets only root or the action's owner pass details, the dialog's text
        // among them; anyone else is refused before any dialog.
        if (motivo != nullptr && g_dbus_error_is_remote_error(error.get()) != FALSE) {
            gchar* remoto = g_dbus_error_get_remote_error(error.get());
            respuesta.detallesRechazados =
                g_strcmp0(remoto, "org.freedesktop.PolicyKit1.Error.NotAuthorized") == 0;
            g_free(remoto);
        }
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

OSStatus Presencia::confirmar(const std::string& motivo) {
    Respuesta r = preguntar(true, &motivo);
    // Refused only for carrying the reason: ask again without it, and the dialog shows the
    // action's own message from the .policy file.
    if (r.fallo && r.detallesRechazados) r = preguntar(true, nullptr);
    if (r.fallo) return errSecNotAvailable;
    if (r.autorizado) return errSecSuccess;
    if (r.descartado) return errSecUserCanceled;
    if (r.desafio) return errSecInteractionNotAllowed;
    return errSecAuthFailed;
}

EvaluacionDePolitica Presencia::puedeAutenticar() {
    const Respuesta r = preguntar(false, nullptr);
    if (r.fallo) return {false, r.error};
    // A challenge means an agent could authenticate the owner: that is what is asked.
    if (r.autorizado || r.desafio) return {true, std::nullopt};
    return {false, "polkit no deja que el usuario se autentique para " + accion_};
}
