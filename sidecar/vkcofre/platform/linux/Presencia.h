#pragma once
// The owner's presence through polkit: one action with auth_self, checked for this process.
// The authority is reached at the bus address given to the constructor (the shipped program
// passes the system bus's fixed socket), never at an address taken from the environment.
#include <gio/gio.h>

#include <string>

#include "Glib.h"
#include "platform/Security.h"

class Presencia {
  public:
    Presencia(std::string direccionBus, std::string accion);

    // Asks the owner once; blocks while the agent's dialog is up. The dialog shows the action's
    // message: the authority takes no text of ours. Authorized: 0. Dismissed: errSecUserCanceled.
    // Refused: errSecAuthFailed. No agent could ask: errSecInteractionNotAllowed. Authority
    // unreachable: errSecNotAvailable.
    OSStatus confirmar();

    // Could the owner authenticate for the action now (an agent may be asked)? Never prompts.
    EvaluacionDePolitica puedeAutenticar();

  private:
    struct Respuesta {
        bool autorizado = false;
        bool desafio = false;
        bool descartado = false;
        bool fallo = false;
        std::string error;
    };
    Respuesta preguntar(bool interaccion);
    GDBusConnection* conexion(std::string& error);

    std::string direccionBus_;
    std::string accion_;
    Propio<GDBusConnection> conexion_;
};
