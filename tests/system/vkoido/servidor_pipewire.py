"""A private PipeWire for one test, with its pulse server: pipewire, wireplumber and
pipewire-pulse under a D-Bus session of their own, in the test's runtime directory, with the
same two null sinks as ServidorPulse, loaded through the pulse protocol. Nothing outside its
temporary directory is read or written; the only processes it signals are the group it
started itself."""

import os
import signal
import subprocess
import time

from servidor_pulse import TASA_A, TASA_B, ServidorPulse, _vive


class ServidorPipeWire(ServidorPulse):
    nombre = "pipewire"

    def __init__(self, directorio=None):
        super().__init__(directorio)
        self.socket_preparacion = os.path.join(self.runtime, "pulse", "native")
        self.env.update(
            PIPEWIRE_RUNTIME_DIR=self.runtime,
            XDG_STATE_HOME=os.path.join(self.dir, "state"),
        )
        del self.env["DBUS_SESSION_BUS_ADDRESS"]  # dbus-run-session gives the daemons theirs

    def _archivo_pid(self):
        return os.path.join(self.dir, "pipewire.pgid")

    def arrancar(self, sumideros=True):
        """Starts the three daemons, loads the sinks, and only then gives clients the socket
        they know (a link to pipewire-pulse's own)."""
        for viejo in (self.socket, self.socket_preparacion):
            if os.path.lexists(viejo):
                os.unlink(viejo)
        with open(os.path.join(self.dir, "pipewire.log"), "ab") as registro:
            proc = subprocess.Popen(
                ["dbus-run-session", "--", "sh", "-c",
                 # The session manager and the pulse server give up at once when pipewire
                 # is not listening yet: they start once its socket is there.
                 'pipewire & while [ ! -S "$XDG_RUNTIME_DIR/pipewire-0" ]; do sleep 0.02; done; '
                 "wireplumber & exec pipewire-pulse"],
                env=self.env, stdin=subprocess.DEVNULL, stdout=registro, stderr=registro,
                start_new_session=True)
        self.pid = proc.pid
        with open(self._archivo_pid(), "w") as f:
            f.write(str(self.pid))
        self._servidor = "unix:" + self.socket_preparacion
        fin = time.monotonic() + 15
        while time.monotonic() < fin:
            if os.path.exists(self.socket_preparacion) and self._responde():
                break
            time.sleep(0.05)
        else:
            self.parar()
            raise RuntimeError("el PipeWire privado no responde")
        # As PulseAudio runs without its default script (-n), so runs pipewire-pulse without the
        # dummy sink it keeps while no other exists: "no sink left" means none.
        self.pactl("unload-module", "module-always-sink", check=False)
        self.modulos = {}
        if sumideros:
            self.cargar_sumidero("a", TASA_A, "Altavoces_A", esperar=False)
            self.cargar_sumidero("b", TASA_B, "Auriculares_B", esperar=False)
            self._esperar_sumideros({"a", "b"})
            self._fijar_por_defecto("a")
        os.symlink(self.socket_preparacion, self.socket)
        self._servidor = self.env["PULSE_SERVER"]
        return self

    def _fijar_por_defecto(self, nombre):
        """The default sink lives in the session manager's metadata: until wireplumber has made
        it, pipewire-pulse answers "Not supported" though it answers everything else."""
        fin = time.monotonic() + 10
        while True:
            tarde = time.monotonic() > fin
            self.pactl("set-default-sink", nombre, check=tarde)
            if self.pactl("get-default-sink").strip() == nombre:
                return
            if tarde:
                raise RuntimeError(f"el sumidero por defecto no pasa a {nombre}")
            time.sleep(0.05)

    def _esperar_sumideros(self, nombres):
        fin = time.monotonic() + 10
        while time.monotonic() < fin:
            vistos = {l.split("\t")[1] for l in self.pactl("list", "short", "sinks").splitlines()}
            if nombres <= vistos:
                return
            time.sleep(0.05)
        raise RuntimeError(f"faltan sumideros: {nombres}")

    def cargar_sumidero(self, nombre, tasa, descripcion, esperar=True):
        modulo = super().cargar_sumidero(nombre, tasa, descripcion, esperar=False)
        if esperar:
            self._esperar_sumideros({nombre})
        return modulo

    def cargar_microfono(self, hz=440):
        """PipeWire's pulse server has no sine source: PipeWire's own test source stands in, a
        source node (not a sink that could become the default output) made the default source."""
        env = dict(self.env, PIPEWIRE_REMOTE=os.path.join(self.runtime, "pipewire-0"))
        subprocess.run(["pw-cli", "create-node", "adapter",
                        "{ factory.name=audiotestsrc library.name=audiotestsrc/libspa-audiotestsrc "
                        "node.name=mic node.description=Microfono media.class=Audio/Source "
                        "object.linger=true }"],
                       env=env, check=True, capture_output=True, timeout=10)
        fin = time.monotonic() + 10
        while "\tmic\t" not in "\t" + self.pactl("list", "short", "sources").replace("\n", "\t"):
            if time.monotonic() > fin:
                raise RuntimeError("el micrófono de prueba no aparece")
            time.sleep(0.05)
        self.pactl("set-default-source", "mic")

    def _senal(self, sen):
        pid = self.pid
        if pid is None:
            try:
                with open(self._archivo_pid()) as f:
                    pid = int(f.read().strip())
            except (FileNotFoundError, ValueError):
                return
        self.pid = None
        try:
            os.killpg(pid, sen)
        except ProcessLookupError:
            pass
        fin = time.monotonic() + 5
        while time.monotonic() < fin and _grupo_vivo(pid):
            time.sleep(0.05)
        if _grupo_vivo(pid):
            os.killpg(pid, signal.SIGKILL)
        try:
            os.waitpid(pid, os.WNOHANG)
        except ChildProcessError:
            pass
        try:
            os.unlink(self._archivo_pid())
        except FileNotFoundError:
            pass
        for enlace in (self.socket,):
            if os.path.lexists(enlace):
                os.unlink(enlace)

    def parar(self):
        self._senal(signal.SIGTERM)

    def matar(self):
        self._senal(signal.SIGKILL)


def procesos_del_grupo(pgid):
    """(pid, state) of every process of the group, as /proc shows them now."""
    for entrada in os.listdir("/proc"):
        if not entrada.isdigit():
            continue
        try:
            with open(f"/proc/{entrada}/stat") as f:
                campos = f.read().split(")")[-1].split()
        except (FileNotFoundError, ProcessLookupError):
            continue
        if int(campos[2]) == pgid:
            yield int(entrada), campos[0]


def _grupo_vivo(pgid):
    """Any process of the group still running (zombies count as gone)."""
    return any(estado != "Z" for _, estado in procesos_del_grupo(pgid))
