'''System test of vkcofre against the real polkit daemon, headless.

Started as root, it starts itself again under `unshare --mount --pid --fork --kill-child`: every
mount below is private to the test, and when this process (the namespace's first) ends, however
it ends, the kernel ends every process it started. Inside: a tmpfs on /run/dbus with the
machine's own system bus configuration on the fixed socket, the generated policy in a
bind-mounted copy of the actions directory, a throwaway user that exists only in bind-mounted
copies of /etc/passwd, /etc/group and /etc/shadow, and polkitd. As that user: a private session
with gnome-keyring (sesion.py), the shipped vault, and its authentication agents.

  polkitd_real.py todo vk=<vkcofre> politica=<.policy>   the cases below
  polkitd_real.py agente-cancela <pid>                   an agent that answers Cancelled
'''

import ctypes
import os
import pty
import select
import shutil
import signal
import subprocess
import sys
import tempfile
import termios
import time

import dbus
import dbus.bus

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import sesion  # noqa: E402

USUARIO = 'vkprueba'
UID = GID = 64999
CLAVE_DE_USUARIO = 'contraseña-de-prueba'
ACCIONES = '/usr/share/polkit-1/actions'
POLKITD = '/usr/lib/polkit-1/polkitd'
BUS_DEL_SISTEMA = '/run/dbus/system_bus_socket'
AUTORIDAD = ('org.freedesktop.PolicyKit1', '/org/freedesktop/PolicyKit1/Authority')
LIMITE = 20.0  # seconds any one step may take before the test gives up

_libc = ctypes.CDLL(None, use_errno=True)


def morir_con_el_padre():
    _libc.prctl(1, signal.SIGKILL)  # PR_SET_PDEATHSIG


def montar(origen, destino, tipo=None, enlace=False):
    argumentos = ['mount', '--bind', origen, destino] if enlace else ['mount', '-t', tipo, origen, destino]
    subprocess.run(argumentos, check=True)


def esperar(condicion, que):
    sesion.esperar(condicion, que, limite=LIMITE, paso=0.02)


# --- root: the machine the test needs -----------------------------------------------------------

def preparar(dir, politica):
    montar('tmpfs', '/run/dbus', 'tmpfs')
    # The throwaway user, with a password, only in copies of the account files.
    import crypt  # deprecated, still in Debian 12's Python; only the test needs it
    copias = {}
    for nombre, linea in (('passwd', f'{USUARIO}:x:{UID}:{GID}::/nonexistent:/bin/sh\n'),
                          ('group', f'{USUARIO}:x:{GID}:\n'),
                          ('shadow', f'{USUARIO}:{crypt.crypt(CLAVE_DE_USUARIO, crypt.mksalt(crypt.METHOD_SHA512))}'
                                     ':19000:0:99999:7:::\n')):
        copia = os.path.join(dir, nombre)
        shutil.copy2('/etc/' + nombre, copia)
        with open(copia, 'a', encoding='utf-8') as f:
            f.write(linea)
        copias[nombre] = copia
    for nombre, copia in copias.items():
        montar(copia, '/etc/' + nombre, enlace=True)
    acciones = os.path.join(dir, 'actions')
    shutil.copytree(ACCIONES, acciones)
    shutil.copy(politica, acciones)
    montar(acciones, ACCIONES, enlace=True)


def arrancar_bus_y_polkitd():
    bus = subprocess.Popen(['dbus-daemon', '--system', '--nofork', '--nopidfile'], preexec_fn=morir_con_el_padre,
                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    esperar(lambda: os.path.exists(BUS_DEL_SISTEMA), 'el bus del sistema no apareció')
    # Started as root, it becomes its own user before it takes the name (the bus lets only that
    # user own it).
    polkitd = subprocess.Popen([POLKITD, '--no-debug'], preexec_fn=morir_con_el_padre, stdout=subprocess.DEVNULL,
                               stderr=subprocess.DEVNULL)
    # A connection by address: libdbus's shared buses would fix the session bus's address, unset
    # here, for the user's half forked later.
    sistema = dbus.bus.BusConnection('unix:path=' + BUS_DEL_SISTEMA)
    esperar(lambda: sistema.name_has_owner(AUTORIDAD[0]), 'polkitd no tomó su nombre en el bus')
    sistema.close()
    return [polkitd, bus]


def parar(procesos):
    for p in procesos:
        if p.poll() is None:
            p.terminate()
            try:
                p.wait(5)
            except subprocess.TimeoutExpired:
                p.kill()
                p.wait()


# --- the throwaway user: the vault and its agents -----------------------------------------------

class Corrida:
    '''One `vkcofre leer`, started stopped so that its agent is in place before it asks.'''

    def __init__(self, vk, entorno):
        self.codigo = None
        lectura, escritura = os.pipe()
        self.pid = os.fork()
        if self.pid == 0:
            try:
                morir_con_el_padre()
                os.close(lectura)
                os.dup2(os.open('/dev/null', os.O_RDONLY), 0)
                os.dup2(escritura, 1)
                os.dup2(escritura, 2)
                os.kill(os.getpid(), signal.SIGSTOP)
                os.execve(vk, [vk, 'leer'], entorno)
            finally:
                os._exit(127)
        os.close(escritura)
        self.salida = lectura
        _, estado = os.waitpid(self.pid, os.WUNTRACED)
        if not os.WIFSTOPPED(estado):
            raise AssertionError('la bóveda no quedó parada')

    def seguir(self):
        os.kill(self.pid, signal.SIGCONT)

    def terminada(self):
        if self.codigo is not None:
            return self.codigo
        pid, estado = os.waitpid(self.pid, os.WNOHANG)
        if pid == 0:
            return None
        self.codigo = os.waitstatus_to_exitcode(estado)
        return self.codigo

    def resultado(self):
        fin = time.monotonic() + LIMITE
        while self.terminada() is None:
            if time.monotonic() > fin:
                os.kill(self.pid, signal.SIGKILL)
                raise AssertionError('la bóveda no terminó')
            time.sleep(0.02)
        texto = b''
        while bloque := os.read(self.salida, 4096):
            texto += bloque
        os.close(self.salida)
        return self.codigo, texto.decode()


def agente_de_terminal(pid, claves, matar=False):
    '''pkttyagent for the waiting vault, on a pseudo-terminal of its own. Answers each password
    prompt (once the prompt has turned echo off) with the next of `claves`; with `matar`, is killed
    at the first prompt instead. Returns the agent's pid and a function that drives it.'''
    aviso_r, aviso_w = os.pipe()
    os.set_inheritable(aviso_w, True)
    hijo, maestro = pty.fork()
    if hijo == 0:
        try:
            os.close(aviso_r)
            morir_con_el_padre()
            os.execv('/usr/bin/pkttyagent', ['pkttyagent', '--process', str(pid), '--notify-fd', str(aviso_w)])
        finally:
            os._exit(127)
    os.close(aviso_w)
    # The agent closes the descriptor once it is registered with the authority.
    while os.read(aviso_r, 1):
        pass
    os.close(aviso_r)
    pendientes = list(claves)
    visto = []
    vivo = [True]

    def conducir(corrida):
        eco_apagado_antes = False
        while corrida.terminada() is None:
            listos, _, _ = select.select([maestro], [], [], 0.02)
            if listos:
                try:
                    visto.append(os.read(maestro, 4096))
                except OSError:
                    pass
            try:
                eco_apagado = not termios.tcgetattr(maestro)[3] & termios.ECHO
            except termios.error:
                continue
            if eco_apagado and not eco_apagado_antes:
                if matar and vivo[0]:
                    os.kill(hijo, signal.SIGKILL)
                    os.waitpid(hijo, 0)
                    vivo[0] = False
                elif pendientes:
                    os.write(maestro, (pendientes.pop(0) + '\n').encode())
            eco_apagado_antes = eco_apagado
        return b''.join(visto).decode(errors='replace'), len(claves) - len(pendientes), not vivo[0]

    def cerrar():
        if vivo[0]:
            try:
                os.kill(hijo, signal.SIGTERM)
                os.waitpid(hijo, 0)
            except (ProcessLookupError, ChildProcessError):
                pass
        os.close(maestro)

    return conducir, cerrar


def agente_que_cancela(pid, entorno):
    agente = subprocess.Popen([sys.executable, os.path.abspath(__file__), 'agente-cancela', str(pid)],
                              stdout=subprocess.PIPE, env=entorno, preexec_fn=morir_con_el_padre)
    if agente.stdout.readline().strip() != b'listo':
        raise AssertionError('el agente propio no se registró')
    return agente


def casos(vk, sesion):
    from sesion import b64, cierto, igual

    entorno = sesion.entorno
    clave = bytes(range(32))
    r = sesion.vkcofre(vk, 'guardar', entrada=(b64(clave) + '\n').encode(), entorno=entorno)
    igual((r.codigo, r.respuesta), (0, {'ok': True}), 'guardar')
    # The state report asks the authority without interaction: a challenge means the owner can
    # authenticate.
    r = sesion.vkcofre(vk, 'estado', entorno=entorno)
    igual((r.codigo, r.respuesta['biometria'], r.respuesta['motivo']), (0, True, None), 'estado')

    cancelado = (3, '{"error":"Desbloqueo cancelado o fallido","ok":false}\n')

    corrida = Corrida(vk, entorno)
    conducir, cerrar = agente_de_terminal(corrida.pid, [CLAVE_DE_USUARIO])
    corrida.seguir()
    pantalla, respondidas, _ = conducir(corrida)
    cerrar()
    igual(corrida.resultado(), (0, '{"clave":"' + b64(clave) + '","ok":true}\n'), 'contraseña correcta')
    igual(respondidas, 1, 'una sola pregunta')
    cierto('Veskora necesita confirmar que eres tú' in pantalla, f'el mensaje de la acción en el agente: {pantalla!r}')

    # However many times the agent asks again, every answer is wrong.
    corrida = Corrida(vk, entorno)
    conducir, cerrar = agente_de_terminal(corrida.pid, ['mal'] * 3)
    corrida.seguir()
    _, respondidas, _ = conducir(corrida)
    cerrar()
    igual(corrida.resultado(), cancelado, 'contraseña equivocada')
    cierto(respondidas >= 1, 'la contraseña equivocada se dio')

    corrida = Corrida(vk, entorno)
    conducir, cerrar = agente_de_terminal(corrida.pid, [], matar=True)
    corrida.seguir()
    _, _, muerto = conducir(corrida)
    cerrar()
    igual(corrida.resultado(), cancelado, 'agente muerto')
    cierto(muerto, 'el agente murió con la pregunta abierta')

    corrida = Corrida(vk, entorno)
    agente = agente_que_cancela(corrida.pid, entorno)
    corrida.seguir()
    resultado = corrida.resultado()
    parar([agente])
    igual(resultado, cancelado, 'agente que cancela')

    # Nobody could ask the owner: neither the key nor "cancelled".
    corrida = Corrida(vk, entorno)
    corrida.seguir()
    igual(corrida.resultado(), (1, '{"error":"no se pudo leer del llavero (OSStatus -25308)","ok":false}\n'),
          'sin agente')


def como_usuario(vk):
    '''The user's half, in a child process that has become the throwaway user.'''
    morir_con_el_padre()
    os.setgroups([])
    os.setgid(GID)
    os.setuid(UID)
    sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
    from sesion import Fallo, abrir
    bus = subprocess.Popen(['dbus-daemon', '--config-file', os.path.join(os.path.dirname(__file__), 'bus.conf'),
                            '--nofork', '--print-address=1'], stdout=subprocess.PIPE,
                           preexec_fn=morir_con_el_padre)
    try:
        os.environ['DBUS_SESSION_BUS_ADDRESS'] = bus.stdout.readline().decode().strip()
        os.environ.pop('DBUS_SYSTEM_BUS_ADDRESS', None)
        with abrir() as sesion:
            casos(vk, sesion)
    except (Fallo, AssertionError) as f:
        print(f'FALLO: {f}', file=sys.stderr)
        return 1
    finally:
        parar([bus])
    return 0


def todo(vk, politica):
    dir = tempfile.mkdtemp(prefix='vkcofre-polkitd-')
    procesos = []
    try:
        os.chmod(dir, 0o755)
        preparar(dir, politica)
        procesos = arrancar_bus_y_polkitd()
        hijo = os.fork()
        if hijo == 0:
            os._exit(como_usuario(vk))
        _, estado = os.waitpid(hijo, 0)
        return os.waitstatus_to_exitcode(estado)
    except AssertionError as f:
        print(f'FALLO: {f}', file=sys.stderr)
        return 1
    finally:
        parar(procesos)
        shutil.rmtree(dir, ignore_errors=True)


# --- the agent that answers Cancelled -------------------------------------------------------------

def agente_cancela(pid):
    import dbus.mainloop.glib
    import dbus.service
    from gi.repository import GLib

    dbus.mainloop.glib.DBusGMainLoop(set_as_default=True)
    bus = dbus.SystemBus()

    class Agente(dbus.service.Object):
        @dbus.service.method('org.freedesktop.PolicyKit1.AuthenticationAgent', in_signature='sssa{ss}sa(sa{sv})',
                             out_signature='')
        def BeginAuthentication(self, _accion, _mensaje, _icono, _detalles, _cookie, _identidades):
            raise dbus.exceptions.DBusException('la persona cerró el diálogo',
                                                name='org.freedesktop.PolicyKit1.Error.Cancelled')

        @dbus.service.method('org.freedesktop.PolicyKit1.AuthenticationAgent', in_signature='s', out_signature='')
        def CancelAuthentication(self, _cookie):
            pass

    ruta = '/com/veskora/Prueba/Agente'
    Agente(bus, ruta)
    with open(f'/proc/{pid}/stat', encoding='ascii') as f:
        inicio = int(f.read().rsplit(')', 1)[1].split()[19])
    sujeto = ('unix-process', {'pid': dbus.UInt32(pid), 'start-time': dbus.UInt64(inicio)})
    autoridad = dbus.Interface(bus.get_object(*AUTORIDAD), 'org.freedesktop.PolicyKit1.Authority')
    autoridad.RegisterAuthenticationAgent(sujeto, 'es_ES.UTF-8', ruta)
    print('listo', flush=True)
    GLib.MainLoop().run()


if __name__ == '__main__':
    if sys.argv[1] == 'agente-cancela':
        agente_cancela(int(sys.argv[2]))
    elif os.getpid() != 1:
        # Not yet in the namespaces of our own: only root may make them.
        if os.geteuid() != 0:
            print('SKIP: el polkitd real necesita root para sus espacios de montaje y de procesos')
            sys.exit(77)
        os.execvp('unshare', ['unshare', '--mount', '--pid', '--fork', '--kill-child', '--mount-proc',
                              '--propagation', 'private', sys.executable, '-W', 'ignore::DeprecationWarning',
                              *sys.argv])
    else:
        opciones = dict(a.split('=', 1) for a in sys.argv[2:])
        codigo = todo(opciones['vk'], opciones['politica'])
        print('ok polkitd' if codigo == 0 else 'FALLO polkitd')
        sys.exit(codigo)
