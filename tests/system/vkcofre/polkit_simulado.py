'''Stand-in for the polkit authority, for the vault's system tests.

Answers CheckAuthorization the way the authority does for an auth_self action: without user
interaction it says a challenge is needed; with it, the scripted answer of the owner:
  autorizar            authorized
  descartar            the agent's dialog was dismissed
  negar                authentication failed
  sin-agente           nobody could ask (challenge even with interaction)
  detalles-prohibidos  refuses a call that carries details, as for an untrusted caller
  no-puede             not authorized, no challenge possible
Every call is recorded: Llamadas() returns (action, details, flags, subject) in order, where
subject is true when it names, by its bus name, a connection held by a running vault (the
real authority asks the bus for that connection's process).
'''

import os

import dbus

BUS_NAME = 'org.freedesktop.PolicyKit1'
MAIN_OBJ = '/org/freedesktop/PolicyKit1/Authority'
MAIN_IFACE = 'org.freedesktop.PolicyKit1.Authority'
SYSTEM_BUS = True

CONTROL = 'com.veskora.Prueba.Polkit'


def load(mock, parameters):
    mock.respuesta = parameters.get('respuesta', 'autorizar')
    mock.llamadas = []


def sujeto_valido(connection, subject):
    tipo, datos = subject
    if tipo != 'system-bus-name':
        return False
    try:
        pid = connection.call_blocking('org.freedesktop.DBus', '/org/freedesktop/DBus', 'org.freedesktop.DBus',
                                       'GetConnectionUnixProcessID', 's', [str(datos['name'])])
        return os.path.basename(os.readlink(f'/proc/{int(pid)}/exe')).startswith('vkcofre')
    except (OSError, KeyError, dbus.exceptions.DBusException):
        return False


@dbus.service.method(MAIN_IFACE, in_signature='(sa{sv})sa{ss}us', out_signature='(bba{ss})')
def CheckAuthorization(self, subject, action_id, details, flags, _cancellation_id):
    self.llamadas.append((str(action_id), {str(k): str(v) for k, v in details.items()}, int(flags),
                          sujeto_valido(self.connection, subject)))
    modo = self.respuesta
    interactiva = bool(flags & 1)
    if modo == 'detalles-prohibidos' and len(details) > 0:
        raise dbus.exceptions.DBusException(
            'Only trusted callers (e.g. uid 0 or an action owner) can use CheckAuthorization() and pass details',
            name='org.freedesktop.PolicyKit1.Error.NotAuthorized')
    if modo == 'no-puede':
        return (False, False, dbus.Dictionary({}, signature='ss'))
    if not interactiva or modo == 'sin-agente':
        return (False, True, dbus.Dictionary({}, signature='ss'))
    if modo in ('autorizar', 'detalles-prohibidos'):
        return (True, False, dbus.Dictionary({}, signature='ss'))
    if modo == 'descartar':
        return (False, False, dbus.Dictionary({'polkit.dismissed': 'true'}, signature='ss'))
    return (False, False, dbus.Dictionary({}, signature='ss'))


@dbus.service.method(CONTROL, in_signature='s', out_signature='')
def SetRespuesta(self, respuesta):
    self.respuesta = str(respuesta)


@dbus.service.method(CONTROL, in_signature='', out_signature='a(sa{ss}ub)')
def Llamadas(self):
    return dbus.Array([(a, dbus.Dictionary(d, signature='ss'), dbus.UInt32(f), dbus.Boolean(v))
                       for a, d, f, v in self.llamadas], signature='(sa{ss}ub)')
