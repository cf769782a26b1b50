'''The Debian package built by scripts/package.sh, installed into a temporary root and run there.

Starts itself again in a mount namespace of its own (unshare) inside a private D-Bus session
(dbus-run-session). dpkg installs the package into its own root with its own database, which
holds only the machine's entries for the packages the package depends on, so dpkg checks the
dependencies for real and the machine's database is never written. Then the installed programs
run: vkoido against a private sound server, vkacta with a generated model in the installed model
folder, vkcofre in a private keyring session with a polkit stand-in on the system bus socket the
program always uses (a tmpfs over /run/dbus, in this namespace only); and polkit's own daemon,
reading only the installed action folder, answers pkaction.

  prueba_paquete.py dir=<folder with the .deb> generador=<vkacta_generar_modelo> lanzador=<launcher>
'''

import glob
import json
import os
import re
import shutil
import subprocess
import sys
import tempfile

AQUI = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(AQUI, '..', 'vkcofre'))
sys.path.insert(0, os.path.join(AQUI, '..', 'vkoido'))

from sesion import ACCION, Fallo, Sesion, b64, cierto, esperar, igual, terminar  # noqa: E402

PRIVADO = 'usr/lib/veskora/sidecars'
POLITICA = f'usr/share/polkit-1/actions/{ACCION.rsplit(".", 1)[0]}.policy'
SOCKET_SISTEMA = '/run/dbus/system_bus_socket'
CLAVE = bytes(range(32))


def ejecutar(*orden, **opciones):
    opciones.setdefault('capture_output', True)
    opciones.setdefault('timeout', 60)
    return subprocess.run(list(orden), **opciones)




class Prueba:
    def __init__(self, dir_paquete, generador, lanzador, fuera):
        # Everything below mounts: only ever in a namespace of our own.
        cierto(os.readlink('/proc/self/ns/mnt') != fuera,
               'la prueba debe correr en un espacio de montaje propio (unshare --mount)')
        debs = sorted(glob.glob(os.path.join(dir_paquete, 'veskora-sidecars*_amd64.deb')))
        cierto(len(debs) == 1, f'esperaba un paquete en {dir_paquete} (bash scripts/package.sh), vi {debs}')
        self.deb = debs[0]
        self.generador = generador
        self.lanzador = lanzador
        self.dir = tempfile.mkdtemp(prefix='vk-paquete-')
        # polkitd drops to its own user: it must reach its bus socket in here.
        os.chmod(self.dir, 0o755)
        self.raiz = os.path.join(self.dir, 'raiz')
        self.procesos = []
        self.campos = {}

    def cerrar(self):
        terminar(self.procesos)
        shutil.rmtree(self.dir, ignore_errors=True)

    def instalado(self, *partes):
        return os.path.join(self.raiz, *partes)

    # --- the package ---------------------------------------------------------------------
    def instalar(self):
        campos = ejecutar('dpkg-deb', '-f', self.deb, check=True, text=True).stdout
        for m in re.finditer(r'^(\S+): (.*(?:\n .*)*)', campos, re.M):
            self.campos[m.group(1)] = m.group(2)
        depende = [d.split()[0] for d in self.campos['Depends'].split(', ')]
        admin = self.instalado('var/lib/dpkg')
        os.makedirs(os.path.join(admin, 'info'))
        os.makedirs(os.path.join(admin, 'updates'))
        open(os.path.join(admin, 'available'), 'w').close()
        # The machine's own entries of the dependencies, read from its database (never written).
        with open('/var/lib/dpkg/status', encoding='utf-8') as f:
            entradas = f.read().split('\n\n')
        propias = [e for e in entradas if re.match(r'Package: (\S+)', e) and
                   re.match(r'Package: (\S+)', e).group(1) in depende]
        with open(os.path.join(admin, 'status'), 'w', encoding='utf-8') as f:
            f.write('\n\n'.join(propias) + '\n\n' if propias else '')
        for e in propias:
            nombre = re.match(r'Package: (\S+)', e).group(1)
            arq = re.search(r'^Architecture: (\S+)', e, re.M).group(1)
            comun = re.search(r'^Multi-Arch: same', e, re.M)
            open(os.path.join(admin, 'info', f'{nombre}:{arq}.list' if comun else f'{nombre}.list'), 'w').close()
        r = ejecutar('dpkg', f'--root={self.raiz}', f'--log={self.dir}/dpkg.log', '-i', self.deb)
        igual(r.returncode, 0, f'dpkg -i en la raíz temporal: {r.stderr.decode()}')
        r = ejecutar('dpkg', f'--root={self.raiz}', '-s', self.campos['Package'], text=True)
        cierto('Status: install ok installed' in r.stdout, f'dpkg -s: {r.stdout}')

    def disposicion(self):
        for p in ('vkoido', 'vkacta', 'vkcofre'):
            cierto(os.access(self.instalado(PRIVADO, 'bin', p), os.X_OK), f'{p} instalado')
        # Nothing on PATH and nothing outside the application's folder, its docs and its action.
        igual(sorted(os.listdir(self.instalado('usr'))), ['lib', 'share'], 'carpetas en /usr')
        igual(os.listdir(self.instalado('usr/lib')), ['veskora'], 'carpetas en /usr/lib')
        igual(sorted(os.listdir(self.instalado('usr/share'))), ['doc', 'polkit-1'], 'carpetas en /usr/share')
        igual(sorted(os.listdir(self.instalado(PRIVADO))), ['bin', 'share'], f'carpetas en /{PRIVADO}')
        igual(os.listdir(self.instalado(PRIVADO, 'share/vkacta')), ['README'], 'carpeta del modelo')
        doc = self.instalado('usr/share/doc', self.campos['Package'])
        for f in ('copyright', 'changelog.gz', 'README.md'):
            cierto(os.path.isfile(os.path.join(doc, f)), f'{f} en {doc}')
        cierto(os.path.isfile(self.instalado(POLITICA)), 'la política de polkit')
        # Every library a program links belongs to a package the package depends on (the ones
        # those libraries link are their packages' business).
        depende = {d.split()[0] for d in self.campos['Depends'].split(', ')}
        for p in ('vkoido', 'vkacta', 'vkcofre'):
            programa = self.instalado(PRIVADO, 'bin', p)
            directas = re.findall(r'\(NEEDED\).*\[(.*)\]', ejecutar('readelf', '-d', programa, text=True).stdout)
            ldd = dict(re.findall(r'^\s*(\S+) => (/\S+)', ejecutar('ldd', programa, text=True, check=True).stdout, re.M))
            cierto(directas, f'{p} sin bibliotecas')
            for ruta in [ldd[n] for n in directas if n in ldd]:
                duenos = set()
                # With /lib merged into /usr/lib, dpkg knows a library by one of its two names.
                for nombre in {ruta, os.path.realpath(ruta), os.path.realpath(ruta).replace('/usr/lib/', '/lib/', 1)}:
                    r = ejecutar('dpkg-query', '-S', nombre, text=True)
                    for linea in r.stdout.splitlines() if r.returncode == 0 else []:
                        duenos |= {d.split(':')[0] for d in linea.split(': ')[0].split(', ')}
                cierto(duenos & depende, f'{p} carga {ruta} ({duenos}) y el paquete no depende de él')
        cierto(not [d for d in depende if d.endswith('-dev')], f'depende de paquetes de desarrollo: {depende}')

    def identidad(self):
        '''(team, accepted paths) from the description; (None, []) for a developer build.'''
        descripcion = ' '.join(self.campos['Description'].split())
        m = re.search(r'\(team (\S+)\),\s+run from one of:\s+(\S+)\s+(\S+)', descripcion)
        if self.campos['Package'] == 'veskora-sidecars-developer-build':
            cierto('the caller check of vkcofre is off' in descripcion,
                   f'la descripción dice que la comprobación está apagada: {descripcion}')
            cierto(m is None, 'un paquete de desarrollo no nombra aplicaciones')
            return None, []
        igual(self.campos['Package'], 'veskora-sidecars', 'nombre del paquete')
        cierto(m is not None, f'la descripción nombra el equipo y las rutas: {descripcion}')
        return m.group(1), [m.group(2), m.group(3)]

    # --- vkoido --------------------------------------------------------------------------
    def vkoido(self):
        os.environ['VKOIDO_BIN'] = self.instalado(PRIVADO, 'bin', 'vkoido')
        from comun import Corrida, correlacion, leer_pista, voz
        from servidor_pulse import ServidorPulse
        with ServidorPulse() as sv:
            wav, ref = voz(self.dir, 'La grabación del paquete instalado.')
            pista = os.path.join(self.dir, 'pista.wav')
            c = Corrida(sv.env, pista, '--seconds', '5')
            try:
                c.esperar_linea(lambda o: o.get('event') == 'started')
                c.esperar_linea(lambda o: 'level' in o and o['framesIn'] > 0, 6)
                sv.reproducir(wav).wait(timeout=15)
                igual(c.esperar_fin(), 0, f'vkoido: {c.stderr}')
            finally:
                if c.proc.poll() is None:
                    c.proc.kill()
            tasa, canales, ancho, muestras = leer_pista(pista)
            igual((tasa, canales, ancho), (16000, 1, 2), 'formato de la pista')
            igual(c.final()['path'], pista, 'línea final')
            ncc = correlacion(muestras, ref)
            cierto(ncc > 0.9, f'la voz tocada no está en la pista (correlación {ncc:.3f})')

    # --- vkacta --------------------------------------------------------------------------
    def vkacta(self):
        vkacta = self.instalado(PRIVADO, 'bin', 'vkacta')
        modelo = self.instalado(PRIVADO, 'share/vkacta/modelo.gguf')
        transcripcion = 'Ana: Empezamos.\nLuis: Yo preparo el presupuesto para el viernes.\n'.encode()
        r = ejecutar(vkacta, input=transcripcion)
        igual(r.returncode, 1, 'vkacta sin modelo')
        cierto('modelo no disponible' in r.stderr.decode() and modelo in r.stderr.decode(),
               f'vkacta busca el modelo en la carpeta instalada: {r.stderr.decode()}')
        r = ejecutar(self.generador, modelo, 'cierra')
        igual(r.returncode, 0, f'generar el modelo: {r.stderr.decode()}')
        r = ejecutar(vkacta, input=transcripcion)
        igual(r.returncode, 0, f'vkacta con el modelo: {r.stderr.decode()}')
        resumen = json.loads(r.stdout)
        igual({k: v for k, v in resumen.items() if k != 'elapsedSeconds'},
              {'actionItems': [], 'decisions': [], 'summary': ''}, 'el resumen del modelo de prueba')

    # --- vkcofre -------------------------------------------------------------------------
    def polkit_del_sistema(self, s):
        '''The stand-in on the socket the shipped vkcofre always uses, in this namespace only.'''
        ejecutar('mount', '-t', 'tmpfs', '-o', 'mode=755', 'vk-paquete', '/run/dbus', check=True)
        bus = subprocess.Popen(['dbus-daemon', '--config-file', os.path.join(AQUI, 'bus-sistema.conf'),
                                '--nofork', f'--address=unix:path={SOCKET_SISTEMA}'],
                               stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        self.procesos.append(bus)
        esperar(lambda: os.path.exists(SOCKET_SISTEMA), 'el bus del sistema privado no apareció')
        import dbus
        # The session's own variable for test builds keeps naming a socket that does not exist:
        # the shipped program must find the stand-in at its fixed place.
        direccion = f'unix:path={SOCKET_SISTEMA}'
        simulado = subprocess.Popen(['/usr/bin/python3', '-m', 'dbusmock', '--template',
                                     os.path.join(AQUI, '..', 'vkcofre', 'polkit_simulado.py')],
                                    stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                                    env=dict(s.entorno, DBUS_SYSTEM_BUS_ADDRESS=direccion))
        self.procesos.append(simulado)
        conexion = dbus.bus.BusConnection(direccion)
        esperar(lambda: conexion.name_has_owner('org.freedesktop.PolicyKit1'), 'el sustituto de polkit no apareció')
        s.polkit = dbus.Interface(conexion.get_object('org.freedesktop.PolicyKit1',
                                                      '/org/freedesktop/PolicyKit1/Authority'),
                                  'com.veskora.Prueba.Polkit')
        s.polkit.SetRespuesta('autorizar')

    def vkcofre(self, equipo, rutas):
        vk = self.instalado(PRIVADO, 'bin', 'vkcofre')
        s = Sesion()
        try:
            self.polkit_del_sistema(s)
            r = s.vkcofre(vk, 'estado')
            igual((r.codigo, r.respuesta), (0, {'ok': True, 'biometria': True, 'motivo': None, 'llavero': True,
                                                'motivoLlavero': None, 'guardada': False, 'secreto': False}),
                  'estado del vkcofre instalado')
            r = s.vkcofre(vk, 'guardar', entrada=(b64(CLAVE) + '\n').encode())
            igual(r.codigo, 0, f'guardar: {r}')
            r = s.vkcofre(vk, 'leer')
            if equipo is None:
                # Developer build: no caller check, the read goes on to the prompt and the key.
                igual((r.codigo, r.respuesta), (0, {'ok': True, 'clave': b64(CLAVE)}), 'leer sin comprobación')
            else:
                igual((r.codigo, r.respuesta), (1, {'ok': False, 'error': 'solo la app puede pedir la clave'}),
                      'leer desde fuera de la app')
                igual(s.preguntas_polkit(), [], 'nada preguntado a quien no es la app')
                self.leer_desde_la_app(s, vk, rutas[0])
            igual(s.vkcofre(vk, 'borrar').codigo, 0, 'borrar')
        finally:
            s.cerrar()

    def leer_desde_la_app(self, s, vk, ruta):
        '''The launcher standing in for the application at its accepted path, on a tmpfs over the
        nearest folder that exists: only where that folder is empty, so nothing is hidden.'''
        base = os.path.dirname(ruta)
        while not os.path.exists(base):
            base = os.path.dirname(base)
        if base == '/' or os.listdir(base):
            print(f'nota: {ruta} no se prueba como la app: {base} no está vacía y no se tapa')
            return
        ejecutar('mount', '-t', 'tmpfs', '-o', 'mode=755', 'vk-paquete-app', base, check=True)
        os.makedirs(os.path.dirname(ruta), exist_ok=True)
        shutil.copy(self.lanzador, ruta)
        os.chmod(ruta, 0o755)
        r = s.vkcofre(vk, 'leer', antes=[ruta])
        igual((r.codigo, r.respuesta), (0, {'ok': True, 'clave': b64(CLAVE)}), f'leer desde la app en {ruta}')
        cierto(len(s.preguntas_polkit()) == 1, 'una pregunta al dueño')

    # --- polkit --------------------------------------------------------------------------
    def politica(self):
        '''polkit's own daemon, seeing only the installed actions, describes the vault's one.'''
        ejecutar('mount', '--bind', self.instalado('usr/share/polkit-1/actions'), '/usr/share/polkit-1/actions',
                 check=True)
        publico = os.path.join(self.dir, 'polkitd')
        os.makedirs(publico, mode=0o755)
        direccion = f'unix:path={publico}/bus'
        bus = subprocess.Popen(['dbus-daemon', '--config-file', os.path.join(AQUI, 'bus-sistema.conf'),
                                '--nofork', f'--address={direccion}'],
                               stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        self.procesos.append(bus)
        esperar(lambda: os.path.exists(f'{publico}/bus'), 'el bus de polkitd no apareció')
        entorno = dict(os.environ, DBUS_SYSTEM_BUS_ADDRESS=direccion, LC_ALL='C.UTF-8')
        demonio = subprocess.Popen(['/usr/lib/polkit-1/polkitd', '--no-debug'], env=entorno,
                                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        self.procesos.append(demonio)
        salida = {}

        def responde():
            r = ejecutar('pkaction', '--action-id', ACCION, '--verbose', env=entorno, text=True)
            salida['texto'] = r.stdout
            return r.returncode == 0
        esperar(responde, 'pkaction no encuentra la acción instalada')
        texto = salida['texto']
        for clave in ('implicit any', 'implicit inactive', 'implicit active'):
            cierto(re.search(rf'^\s*{clave}:\s+auth_self$', texto, re.M), f'{clave} auth_self: {texto}')
        # pkaction writes what is not ASCII as "?", whatever the locale.
        cierto(re.search(r'^\s*message:\s+Veskora necesita confirmar que eres t(ú|\?) para usar una clave guardada$',
                         texto, re.M), f'mensaje de la acción: {texto}')
        r = ejecutar('pkaction', env=entorno, text=True)
        igual(r.stdout.split(), [ACCION], 'polkitd solo ve las acciones instaladas')


def main():
    opciones = dict(a.split('=', 1) for a in sys.argv[1:])
    if 'fuera' not in opciones:
        fuera = os.readlink('/proc/self/ns/mnt')
        orden = ['unshare', '--mount', '--propagation', 'private', '--',
                 'dbus-run-session', f'--config-file={os.path.join(AQUI, "..", "vkcofre", "bus.conf")}', '--',
                 sys.executable, os.path.abspath(__file__), *sys.argv[1:], f'fuera={fuera}']
        sys.exit(subprocess.run(orden, timeout=110).returncode)
    p = Prueba(opciones['dir'], opciones['generador'], opciones['lanzador'], opciones['fuera'])
    try:
        p.instalar()
        p.disposicion()
        equipo, rutas = p.identidad()
        p.vkoido()
        p.vkacta()
        p.vkcofre(equipo, rutas)
        p.politica()
    except Fallo as f:
        print(f'FALLO paquete: {f}', file=sys.stderr)
        sys.exit(1)
    finally:
        p.cerrar()
    print(f'ok paquete {os.path.basename(p.deb)}')


if __name__ == '__main__':
    main()
