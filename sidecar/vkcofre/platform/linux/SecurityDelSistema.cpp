// The backend as the shipped program builds it. The polkit authority is on the system bus at its
// fixed socket; the test builds compile this file with VKCOFRE_POLKIT_DE_PRUEBA and take a
// private bus instead.
#include <glib.h>

#include <cstdlib>

#include "SecurityLinux.h"

namespace {

std::string direccionPolkit() {
#ifdef VKCOFRE_POLKIT_DE_PRUEBA
    if (const char* prueba = std::getenv("VKCOFRE_PRUEBA_BUS_POLKIT")) return prueba;
#endif
    return "unix:path=/run/dbus/system_bus_socket";
}

IdentidadDeCompilacion identidad() {
    IdentidadDeCompilacion id;
#ifdef VKCOFRE_EQUIPO
    id.equipo = VKCOFRE_EQUIPO;
    id.aplicacion = VKCOFRE_ID_APP_1;
    id.otraAplicacion = VKCOFRE_ID_APP_2;
    id.rutaDeApp[VKCOFRE_ID_APP_1] = VKCOFRE_RUTA_APP_1;
    id.rutaDeApp[VKCOFRE_ID_APP_2] = VKCOFRE_RUTA_APP_2;
#endif
    return id;
}

}  // namespace

std::unique_ptr<Security> securityDelSistema() {
    // The vault writes nothing to stderr: the warnings GLib and libsecret may log go nowhere.
    g_log_set_writer_func(
        [](GLogLevelFlags, const GLogField*, gsize, gpointer) { return G_LOG_WRITER_HANDLED; }, nullptr,
        nullptr);
    return crearSecurityLinux({direccionPolkit(), VKCOFRE_ACCION_PRESENCIA, identidad()});
}
