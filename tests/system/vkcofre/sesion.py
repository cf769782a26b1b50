'''A private desktop session for one system test of the vault.

Runs inside its own dbus-run-session (started by CTest with bus.conf, so nothing is activated
on demand). It gives the test its own HOME and XDG directories under a temporary directory,
starts gnome-keyring-daemon there with a login keyring it unlocks, starts a second private bus
with the polkit stand-in on it, and stops all of it at the end.
'''

import base64
import json
import os
import shutil
import signal
import subprocess
import sys
import tempfile
import time

import dbus

AQUI = os.path.dirname(os.path.abspath(__file__))
SECRETOS = 'org.freedesktop.secrets'
LOGIN = '/org/freedesktop/secrets/collection/login'
SESION = '/org/freedesktop/secrets/collection/session'
SERVICIO = 'com.veskora.desktop.vault'
ACCION = 'com.veskora.desktop.vault.leer'


class Fallo(AssertionError):
    pass


def esperar(condicion, que, limite=15.0, paso=0.05):
    fin = time.monotonic() + limite
    while time.monotonic() < fin:
        if condicion():
            return
        time.sleep(paso)
    raise Fallo(que)


def terminar(procesos):
    '''Stops what a test started, last first: SIGTERM, then SIGKILL after 5 s.'''
    for p in reversed(procesos):
        if p.poll() is None:
            p.send_signal(signal.SIGTERM)
            try:
                p.wait(5)
            except subprocess.TimeoutExpired:
                p.kill()
                p.wait()


def igual(visto, esperado, que=''):
    if visto != esperado:
        raise Fallo(f'{que}: esperaba {esperado!r}, vi {visto!r}')


def cierto(condicion, que):
    if not condicion:
        raise Fallo(que)


class Resultado:
    def __init__(self, proceso):
        self.codigo = proceso.returncode
        self.salida = proceso.stdout
        self.errores = proceso.stderr
        lineas = proceso.stdout.decode('utf-8').splitlines()
        self.respuesta = json.loads(lineas[0]) if lineas else None
        self.lineas = len(lineas)

    def __repr__(self):
        return f'<codigo {self.codigo} salida {self.salida!r} errores {self.errores!r}>'


class Sesion:
    def __init__(self, llavero=True):
        self.dir = tempfile.mkdtemp(prefix='vkcofre-sistema-')
        self.procesos = []
        self.entorno = dict(os.environ)
        for nombre, sub in (('HOME', 'home'), ('XDG_DATA_HOME', 'home/datos'),
                            ('XDG_CONFIG_HOME', 'home/config'), ('XDG_CACHE_HOME', 'home/cache'),
                            ('XDG_RUNTIME_DIR', 'run')):
            ruta = os.path.join(self.dir, sub)
            os.makedirs(ruta, mode=0o700, exist_ok=True)
            self.entorno[nombre] = ruta
        # Unlock prompts go to a prompter nobody owns, so they end dismissed at once: the
        # same as the user pressing Cancel.
        self.entorno['GNOME_KEYRING_TEST_PROMPTER'] = 'com.veskora.Prueba.NadiePregunta'
        self.entorno.pop('GNOME_KEYRING_CONTROL', None)
        self.bus = dbus.SessionBus()
        self.direccion_polkit = None
        self.polkit = None
        if llavero:
            self._iniciar_llavero()

    # --- servers -------------------------------------------------------------------------
    def _iniciar_llavero(self):
        demonio = subprocess.Popen(
            ['gnome-keyring-daemon', '--foreground', '--unlock', '--components=secrets'],
            stdin=subprocess.PIPE, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
            env=self.entorno)
        demonio.stdin.write(b'clave-de-prueba')
        demonio.stdin.close()
        self.procesos.append(demonio)
        esperar(lambda: self._login_desbloqueado(), 'el llavero de la sesión no se abrió')

    def _login_desbloqueado(self):
        try:
            alias = self._servicio().ReadAlias('default')
            if str(alias) != LOGIN:
                return False
            coleccion = self.bus.get_object(SECRETOS, LOGIN)
            return not bool(dbus.Interface(coleccion, dbus.PROPERTIES_IFACE).Get(
                'org.freedesktop.Secret.Collection', 'Locked'))
        except dbus.exceptions.DBusException:
            return False

    def iniciar_polkit(self, respuesta='autorizar'):
        '''The stand-in authority on a second private bus; returns its address.'''
        bus = subprocess.Popen(['dbus-daemon', '--config-file', os.path.join(AQUI, 'bus.conf'), '--nofork',
                                '--print-address=1'], stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
        self.procesos.append(bus)
        self.direccion_polkit = bus.stdout.readline().decode().strip()
        entorno = dict(self.entorno, DBUS_SYSTEM_BUS_ADDRESS=self.direccion_polkit)
        simulado = subprocess.Popen(['/usr/bin/python3', '-m', 'dbusmock', '--template',
                                     os.path.join(AQUI, 'polkit_simulado.py')],
                                    stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, env=entorno)
        self.procesos.append(simulado)
        conexion = dbus.bus.BusConnection(self.direccion_polkit)
        esperar(lambda: conexion.name_has_owner('org.freedesktop.PolicyKit1'),
                      'el sustituto de polkit no apareció')
        self.polkit = dbus.Interface(conexion.get_object('org.freedesktop.PolicyKit1',
                                                         '/org/freedesktop/PolicyKit1/Authority'),
                                     'com.veskora.Prueba.Polkit')
        self.polkit.SetRespuesta(respuesta)
        return self.direccion_polkit

    def respuesta_polkit(self, respuesta):
        self.polkit.SetRespuesta(respuesta)

    def llamadas_polkit(self):
        return [(str(a), {str(k): str(v) for k, v in d.items()}, int(f), bool(v))
                for a, d, f, v in self.polkit.Llamadas()]

    def preguntas_polkit(self):
        '''Calls that allowed user interaction: each one is a dialog shown to the owner.'''
        return [l for l in self.llamadas_polkit() if l[2] & 1]


    def cerrar(self):
        terminar(self.procesos)
        shutil.rmtree(self.dir, ignore_errors=True)

    # --- clients -------------------------------------------------------------------------
    def entorno_vkcofre(self):
        # Without the stand-in, a socket that does not exist: never the machine's own polkit.
        entorno = dict(self.entorno)
        entorno['VKCOFRE_PRUEBA_BUS_POLKIT'] = (self.direccion_polkit or
                                                'unix:path=' + os.path.join(self.dir, 'sin-polkit'))
        return entorno

    def vkcofre(self, programa, *argumentos, entrada=b'', entorno=None, antes=()):
        proceso = subprocess.run([*antes, programa, *argumentos], input=entrada, capture_output=True,
                                 env=entorno or self.entorno_vkcofre(), timeout=60)
        return Resultado(proceso)

    def secret_tool(self, *argumentos, entrada=None):
        return subprocess.run(['secret-tool', *argumentos], input=entrada, capture_output=True, env=self.entorno,
                              timeout=30)

    def items(self, **atributos):
        '''Items of the whole service with these attributes: (path, label, attributes, bytes).'''
        iface = self._servicio()
        desbloqueados, bloqueados = iface.SearchItems(dbus.Dictionary(atributos, signature='ss'))
        _, sesion = iface.OpenSession('plain', dbus.String('', variant_level=1))
        encontrados = []
        for ruta in list(desbloqueados) + list(bloqueados):
            item = self.bus.get_object(SECRETOS, ruta)
            props = dbus.Interface(item, dbus.PROPERTIES_IFACE)
            etiqueta = str(props.Get('org.freedesktop.Secret.Item', 'Label'))
            attrs = {str(k): str(v) for k, v in props.Get('org.freedesktop.Secret.Item', 'Attributes').items()}
            datos = None
            if ruta in desbloqueados:
                secreto = dbus.Interface(item, 'org.freedesktop.Secret.Item').GetSecret(sesion)
                datos = bytes(secreto[2])
            encontrados.append((str(ruta), etiqueta, attrs, datos))
        return encontrados

    def _servicio(self):
        return dbus.Interface(self.bus.get_object(SECRETOS, '/org/freedesktop/secrets'),
                              'org.freedesktop.Secret.Service')

    def coleccion_por_defecto(self, ruta):
        self._servicio().SetAlias('default', dbus.ObjectPath(ruta))

    def bloquear_login(self):
        self._servicio().Lock([dbus.ObjectPath(LOGIN)])
        cierto(not self._login_desbloqueado(), 'el llavero no quedó bloqueado')


def b64(datos):
    return base64.b64encode(datos).decode('ascii')


def correr(casos):
    '''Runs the case named on the command line: prueba.py <case> [name=value ...].'''
    nombre = sys.argv[1]
    opciones = dict(a.split('=', 1) for a in sys.argv[2:])
    caso = casos[nombre]
    try:
        caso(**opciones)
    except Fallo as f:
        print(f'FALLO {nombre}: {f}', file=sys.stderr)
        sys.exit(1)
    print(f'ok {nombre}')


def abrir(**opciones):
    return _Contexto(opciones)


class _Contexto:
    def __init__(self, opciones):
        self.opciones = opciones
        self.sesion = None

    def __enter__(self):
        self.sesion = Sesion(**self.opciones)
        return self.sesion

    def __exit__(self, *_):
        self.sesion.cerrar()
        return False
