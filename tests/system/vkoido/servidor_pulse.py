"""A private sound server for one test: its own runtime, state and home directories, its own
socket, two null sinks. Nothing outside its temporary directory is read or written, and the
only process it ever signals is the one whose pid it wrote itself."""

import os
import shutil
import signal
import subprocess
import tempfile
import time

TASA_A = 48000
TASA_B = 44100
# An idle null sink renders two seconds at a time; a new sink starts with such a block.
BLOQUE_INICIAL = 2.1


class ServidorPulse:
    nombre = "pulse"

    def __init__(self, directorio=None):
        self.dir = directorio or tempfile.mkdtemp(prefix="vkoido-pulse-")
        self.runtime = os.path.join(self.dir, "run")
        self.socket = os.path.join(self.runtime, "native")
        self.socket_preparacion = os.path.join(self.runtime, "preparacion")
        for d in ("run", "home", "state", "config"):
            os.makedirs(os.path.join(self.dir, d), mode=0o700, exist_ok=True)
        self.env = dict(os.environ)
        for quitar in ("DBUS_SESSION_BUS_ADDRESS", "DISPLAY", "WAYLAND_DISPLAY", "PULSE_COOKIE"):
            self.env.pop(quitar, None)
        self.env.update(
            XDG_RUNTIME_DIR=self.runtime,
            HOME=os.path.join(self.dir, "home"),
            XDG_CONFIG_HOME=os.path.join(self.dir, "config"),
            PULSE_RUNTIME_PATH=os.path.join(self.runtime, "pulse"),
            PULSE_STATE_PATH=os.path.join(self.dir, "state"),
            PULSE_SERVER="unix:" + self.socket,
            # No session bus: the daemon must not go looking for one.
            DBUS_SESSION_BUS_ADDRESS="disabled:",
        )
        self.modulos = {}
        self.pid = None
        self._servidor = self.env["PULSE_SERVER"]

    # -- life of the daemon ------------------------------------------------------------

    def arrancar(self, sumideros=True):
        """Starts the daemon (as root it only warns) with its sinks warmed up, and only then
        opens the socket clients know, so nobody meets a sink still in its first block."""
        for viejo in (self.socket, self.socket_preparacion):
            if os.path.exists(viejo):
                os.unlink(viejo)
        subprocess.run(
            [
                "pulseaudio", "-D", "-n", "--exit-idle-time=-1", "--disallow-exit",
                "--use-pid-file=yes", "--log-level=error",
                "--log-target=file:" + os.path.join(self.dir, "pulse.log"),
                "--load=module-native-protocol-unix auth-anonymous=1 socket="
                + self.socket_preparacion,
            ],
            env=self.env, check=True, timeout=20,
            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
        )
        self._servidor = "unix:" + self.socket_preparacion
        fin = time.monotonic() + 10
        while time.monotonic() < fin:
            if self._responde():
                break
            time.sleep(0.05)
        else:
            raise RuntimeError("el servidor de sonido privado no responde")
        with open(os.path.join(self.runtime, "pulse", "pid")) as f:
            self.pid = int(f.read().strip())
        self.modulos = {}
        if sumideros:
            self.cargar_sumidero("a", TASA_A, "Altavoces_A", esperar=False)
            self.cargar_sumidero("b", TASA_B, "Auriculares_B", esperar=False)
            self.pactl("set-default-sink", "a")
            time.sleep(BLOQUE_INICIAL)
        self.pactl("load-module", "module-native-protocol-unix", "auth-anonymous=1",
                   "socket=" + self.socket)
        self._servidor = self.env["PULSE_SERVER"]
        return self

    def parar(self):
        """Stops the daemon this object started; the directory stays for `limpiar`."""
        if self.pid is None:
            return
        pid, self.pid = self.pid, None
        try:
            os.kill(pid, signal.SIGTERM)
        except ProcessLookupError:
            self._olvidar_pid()
            return
        fin = time.monotonic() + 5
        while time.monotonic() < fin and _vive(pid):
            time.sleep(0.05)
        if _vive(pid):
            os.kill(pid, signal.SIGKILL)
            while _vive(pid):
                time.sleep(0.05)
        self._olvidar_pid()

    def matar(self):
        """Kills the daemon without warning, as a crash would."""
        pid, self.pid = self.pid, None
        os.kill(pid, signal.SIGKILL)
        while _vive(pid):
            time.sleep(0.02)
        self._olvidar_pid()

    def _olvidar_pid(self):
        # A dead daemon nobody has reaped yet still looks alive to the next one's pid check.
        try:
            os.unlink(os.path.join(self.runtime, "pulse", "pid"))
        except FileNotFoundError:
            pass

    def limpiar(self):
        self.parar()
        shutil.rmtree(self.dir, ignore_errors=True)

    def __enter__(self):
        return self if self.pid is not None else self.arrancar()

    def __exit__(self, *_):
        self.limpiar()

    # -- talking to it -----------------------------------------------------------------

    def _env_cliente(self):
        return dict(self.env, PULSE_SERVER=self._servidor)

    def pactl(self, *args, check=True):
        r = subprocess.run(["pactl", *args], env=self._env_cliente(), capture_output=True,
                           text=True, timeout=10)
        if check and r.returncode != 0:
            raise RuntimeError(f"pactl {' '.join(args)}: {r.stderr.strip()}")
        return r.stdout

    def cargar_sumidero(self, nombre, tasa, descripcion, esperar=True):
        """A null sink, idle: nobody plays into it until a test does. A new null sink starts
        with a block of two seconds that runs out first: `esperar` waits for that."""
        salida = self.pactl("load-module", "module-null-sink", f"sink_name={nombre}",
                            f"rate={tasa}", f"sink_properties=device.description={descripcion}")
        self.modulos[nombre] = salida.strip()
        if esperar:
            time.sleep(BLOQUE_INICIAL)
        return self.modulos[nombre]

    def cargar_microfono(self, hz=440):
        """A "microphone" that would give itself away with its tone, as the default source."""
        self.pactl("load-module", "module-sine-source", "source_name=mic", f"frequency={hz}")
        self.pactl("set-default-source", "mic")

    def descargar_sumidero(self, nombre):
        self.pactl("unload-module", self.modulos.pop(nombre))

    def reproducir(self, wav, sumidero=None):
        """Plays a file into a sink (the default one when none is given); returns the process."""
        args = ["paplay"]
        if sumidero:
            args.append(f"--device={sumidero}")
        return subprocess.Popen(args + [wav], env=self.env)

    def _responde(self):
        r = subprocess.run(["pactl", "info"], env=self._env_cliente(), capture_output=True,
                           timeout=10)
        return r.returncode == 0

    def clientes(self):
        return self.pactl("list", "clients")

    def salidas_de_grabacion(self):
        """(source name of each record stream) as `pactl list source-outputs` shows them."""
        texto = self.pactl("list", "source-outputs")
        fuentes = {}
        for linea in self.pactl("list", "short", "sources").splitlines():
            campos = linea.split("\t")
            fuentes[campos[0]] = campos[1]
        nombres = []
        for linea in texto.splitlines():
            linea = linea.strip()
            if linea.startswith("Source:"):
                nombres.append(fuentes.get(linea.split(":", 1)[1].strip(), "?"))
        return nombres


def _leer_pid(servidor):
    try:
        with open(os.path.join(servidor.runtime, "pulse", "pid")) as f:
            servidor.pid = int(f.read().strip())
    except (FileNotFoundError, ValueError):
        servidor.pid = None


def _vive(pid):
    try:
        # A zombie left by the daemonising fork still counts as gone.
        with open(f"/proc/{pid}/stat") as f:
            return f.read().split(")")[-1].split()[0] != "Z"
    except FileNotFoundError:
        return False


def servidor(directorio=None):
    """The server the test runs against: VKOIDO_SERVIDOR=pulse (the default) or pipewire."""
    if os.environ.get("VKOIDO_SERVIDOR", "pulse") == "pipewire":
        from servidor_pipewire import ServidorPipeWire
        return ServidorPipeWire(directorio)
    return ServidorPulse(directorio)


if __name__ == "__main__":
    # For fixtures in other languages: arrancar|parar|matar|microfono <directory>. After
    # `arrancar` the server's socket is <directory>/run/native.
    import sys

    accion, directorio = sys.argv[1], sys.argv[2]
    sv = servidor(directorio)
    if accion == "arrancar":
        sv.arrancar()
    elif accion == "microfono":
        sv.cargar_microfono(440)
    elif sv.nombre == "pipewire":
        sv.matar() if accion == "matar" else sv.parar()
    else:
        _leer_pid(sv)
        if sv.pid is not None:
            sv.matar() if accion == "matar" else sv.parar()
