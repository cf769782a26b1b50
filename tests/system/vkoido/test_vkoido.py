"""vkoido end to end against a private sound server: each test starts its own server (null
sinks "a", 48000 Hz and default, and "b", 44100 Hz), runs the real binary and stops both."""

import os
import resource
import shutil
import signal
import subprocess
import time
import unittest
import wave

import numpy as np

from comun import (FRASE_CORTA, Corrida, correlacion, directorio_temporal, leer_pista, tono,
                   voz)
from servidor_pulse import TASA_B, servidor

UMBRAL = 0.95
# How far the track may be from the time that passed.
TOLERANCIA = 0.3


def _hay_audio(o):
    return "level" in o and o["framesIn"] > 0


class ConServidor(unittest.TestCase):
    def assertVoz(self, muestras, ref):
        """The played speech is in the track; on failure, say where silence was padded."""
        ncc = correlacion(muestras, ref)
        if os.environ.get("VKOIDO_GUARDAR"):
            shutil.copy(self.pista, os.environ["VKOIDO_GUARDAR"])
            np.save(os.environ["VKOIDO_GUARDAR"] + ".ref.npy", ref)
        if ncc < UMBRAL:
            relleno = [(o["seconds"], o["padded"]) for o in self.corrida.estados()]
            saltos = [(a[0], round(b[1] - a[1], 3)) for a, b in zip(relleno, relleno[1:])
                      if b[1] > a[1]]
            self.fail(f"correlación {ncc:.3f} < {UMBRAL}; relleno (segundo, s): {saltos}; "
                      f"stderr: {self.corrida.stderr[-1500:]}")

    def setUp(self):
        self.tmp = directorio_temporal()
        self.sv = servidor().arrancar()
        self.pista = os.path.join(self.tmp, "pista.wav")
        self.corrida = None

    def tearDown(self):
        if self.corrida and self.corrida.proc.poll() is None:
            self.corrida.proc.kill()
            self.corrida.proc.wait()
        self.sv.limpiar()
        shutil.rmtree(self.tmp, ignore_errors=True)

    def correr(self, *args, **popen):
        self.corrida = Corrida(self.sv.env, self.pista, *args, **popen)
        self.corrida.esperar_linea(lambda o: o.get("event") == "started")
        return self.corrida

    def esperar_audio(self):
        # An idle null sink hands its monitor long blocks until it sees our latency.
        return self.corrida.esperar_linea(_hay_audio, 6, desde=len(self.corrida.lineas))

    def assertDuracion(self, limite):
        """The track as long as the run, within TOLERANCIA; gives its samples."""
        final = self.corrida.final()
        self.assertIsNotNone(final, self.corrida.stderr)
        muestras = leer_pista(self.pista)[3]
        self.assertAlmostEqual(len(muestras) / 16000, final["seconds"], places=6)
        relleno = [(o["seconds"], o["padded"]) for o in self.corrida.estados()]
        saltos = [(a[0], round(b[1] - a[1], 3)) for a, b in zip(relleno, relleno[1:])
                  if b[1] > a[1]]
        self.assertLessEqual(abs(final["seconds"] - limite), TOLERANCIA,
                             f"pista de {final['seconds']} s en {limite} s; relleno: {saltos}")
        return muestras

    def solo_monitores(self):
        for fuente in self.sv.salidas_de_grabacion():
            self.assertTrue(fuente.endswith(".monitor"), f"grabando de {fuente}")


class Voz(ConServidor):
    def test_la_voz_tocada_queda_en_la_pista(self):
        wav, ref = voz(self.tmp, "Hola, esta es una prueba de la grabación de la llamada.")
        c = self.correr("--seconds", "7")
        self.assertEqual(self.esperar_audio()["rate"], 48000)
        clientes = self.sv.clientes()
        self.assertIn('application.name = "Veskora Audio Tap"', clientes)
        self.assertIn('application.id = "com.veskora.vkoido"', clientes)
        self.solo_monitores()
        self.sv.reproducir(wav).wait(timeout=15)
        self.assertEqual(c.esperar_fin(), 0, c.stderr)

        tasa, canales, ancho, muestras = leer_pista(self.pista)
        self.assertEqual((tasa, canales, ancho), (16000, 1, 2))
        final = c.final()
        self.assertEqual(final["path"], self.pista)
        self.assertAlmostEqual(len(muestras) / 16000, final["seconds"], places=6)
        self.assertGreater(final["seconds"], 6.0)
        self.assertVoz(muestras, ref)


class CambioDeSalida(ConServidor):
    def test_sigue_en_la_misma_pista_sobre_la_nueva_salida(self):
        wav, ref = voz(self.tmp, FRASE_CORTA)
        c = self.correr()
        self.esperar_audio()
        antes = c.estados()[-1]["seconds"]
        self.sv.pactl("set-default-sink", "b")
        cambio = c.esperar_linea(lambda o: o.get("event") == "output-changed", 5)
        self.assertEqual(cambio, {"event": "output-changed", "output": "Auriculares_B",
                                  "capturing": True, "rate": TASA_B})
        estado = c.esperar_linea(_hay_audio, 6, desde=len(c.lineas))
        self.assertEqual(estado["rate"], TASA_B)
        self.assertGreaterEqual(estado["seconds"], antes)
        self.sv.reproducir(wav, "b").wait(timeout=15)
        time.sleep(0.5)
        self.assertEqual(c.terminar(), 0, c.stderr)

        self.assertEqual(len(c.eventos("output-changed")), 1)
        self.assertEqual(c.eventos("format-changed"), [])
        segundos = [o["seconds"] for o in c.estados()]
        self.assertEqual(segundos, sorted(segundos))
        muestras = leer_pista(self.pista)[3]
        self.assertVoz(muestras, ref)


class PerdidaDeSalida(ConServidor):
    def test_sin_salida_rellena_y_vuelve_sin_tocar_el_microfono(self):
        # A "microphone" that would give itself away with its 440 Hz tone.
        self.sv.cargar_microfono(440)
        wav, ref = voz(self.tmp, FRASE_CORTA)
        c = self.correr()
        self.esperar_audio()

        self.sv.descargar_sumidero("b")
        self.sv.descargar_sumidero("a")
        perdida = c.esperar_linea(lambda o: o.get("event") == "output-changed", 5)
        self.assertEqual(perdida["capturing"], False)
        self.assertEqual(perdida["output"], "Altavoces_A")
        self.assertTrue(perdida["reason"])
        desde = len(c.lineas)
        self.solo_monitores()
        time.sleep(3.5)  # no sink at all, past a retry or two
        self.solo_monitores()
        huecos = [o for o in c.drenar()[desde:] if "level" in o]
        self.assertGreaterEqual(len(huecos), 10, "the status lines stopped")
        self.assertGreater(huecos[-1]["padded"], huecos[0]["padded"], "no silence padded")

        self.sv.cargar_sumidero("c", 48000, "Altavoces_C")
        vuelta = c.esperar_linea(lambda o: o.get("event") == "output-changed"
                                 and o["capturing"], 6, desde=desde)
        self.assertEqual((vuelta["output"], vuelta["rate"]), ("Altavoces_C", 48000))
        c.esperar_linea(lambda o: "level" in o and o["framesIn"] > huecos[-1]["framesIn"], 6)
        self.solo_monitores()
        self.sv.reproducir(wav).wait(timeout=15)
        time.sleep(0.5)
        self.assertEqual(c.terminar(), 0, c.stderr)

        self.assertEqual([o["capturing"] for o in c.eventos("output-changed")], [False, True])
        muestras = leer_pista(self.pista)[3]
        # With no sink the track holds padded silence, not the microphone's tone.
        hueco = muestras[int(huecos[0]["seconds"] * 16000):int(huecos[-1]["seconds"] * 16000)]
        self.assertGreater(len(hueco), 16000)
        self.assertLess(float(abs(hueco).max()), 1e-3, "something was recorded with no sink")
        self.assertLess(tono(muestras, 440), 0.05)
        self.assertVoz(muestras, ref)


class ServidorReiniciado(ConServidor):
    def test_el_servidor_muere_y_vuelve_y_la_pista_sigue(self):
        wav, ref = voz(self.tmp, FRASE_CORTA)
        c = self.correr()
        self.esperar_audio()
        self.sv.matar()
        desde = len(c.lineas)
        time.sleep(2.5)
        sin_servidor = [o for o in c.drenar()[desde:] if "level" in o]
        self.assertGreaterEqual(len(sin_servidor), 6)
        self.assertEqual(sin_servidor[-1]["framesIn"], sin_servidor[0]["framesIn"])
        self.assertGreater(sin_servidor[-1]["padded"], sin_servidor[0]["padded"])

        self.sv.arrancar()
        vuelta = c.esperar_linea(lambda o: o.get("event") == "output-changed", 8, desde=desde)
        self.assertEqual((vuelta["capturing"], vuelta["output"]), (True, "Altavoces_A"))
        c.esperar_linea(lambda o: "level" in o and o["framesIn"] > sin_servidor[-1]["framesIn"], 6)
        self.sv.reproducir(wav).wait(timeout=15)
        time.sleep(0.5)
        self.assertEqual(c.terminar(), 0, c.stderr)
        muestras = leer_pista(self.pista)[3]
        self.assertAlmostEqual(len(muestras) / 16000, c.final()["seconds"], places=6)
        self.assertVoz(muestras, ref)


class Interrupciones(ConServidor):
    def test_kill_9_deja_un_wav_legible_hasta_el_ultimo_tick(self):
        wav, _ = voz(self.tmp, FRASE_CORTA)
        c = self.correr()
        self.esperar_audio()
        self.sv.reproducir(wav).wait(timeout=15)
        ultimo = c.esperar_estado()
        c.proc.kill()
        c.esperar_fin()
        with wave.open(self.pista, "rb") as w:
            frames = w.getnframes()
            self.assertEqual((w.getframerate(), w.getnchannels(), w.getsampwidth()), (16000, 1, 2))
        self.assertGreaterEqual(frames, round(ultimo["seconds"] * 16000))
        self.assertLessEqual(44 + 2 * frames, os.path.getsize(self.pista))
        r = subprocess.run(["sox", self.pista, "-n", "stat"], capture_output=True, text=True)
        self.assertEqual(r.returncode, 0, r.stderr)

    def test_disco_lleno_un_aviso_y_parada_ordenada(self):
        limite = 64 * 1024  # two seconds of track

        def preparar():
            signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
            resource.setrlimit(resource.RLIMIT_FSIZE, (limite, limite))

        c = self.correr("--seconds", "5", preexec_fn=preparar)
        self.assertEqual(c.esperar_fin(), 0, c.stderr)
        fallos = c.eventos("write-failed")
        self.assertEqual(len(fallos), 1)
        self.assertTrue(fallos[0]["reason"])
        self.assertEqual(c.stderr.count("no se pudo escribir la pista a los"), 1, c.stderr)
        self.assertIsNotNone(c.final())
        self.assertEqual(c.estados()[-1]["seconds"], fallos[0]["seconds"])
        with wave.open(self.pista, "rb") as w:
            frames = w.getnframes()
        self.assertGreater(frames, 16000)
        # Data and header end at the last whole write: what the lines say, not a frame more.
        self.assertEqual(frames, round(fallos[0]["seconds"] * 16000))
        self.assertEqual(os.path.getsize(self.pista), 44 + 2 * frames)


def _tono_para_tocar(directorio, segundos, hz=440):
    ruta = os.path.join(directorio, f"tono-{hz}.wav")
    subprocess.run(["sox", "-n", "-r", "48000", "-c", "2", "-b", "16", ruta, "synth",
                    str(segundos), "sine", str(hz), "vol", "0.3"], check=True)
    return ruta


class Cronologia(ConServidor):
    """The track follows the time that passed whatever the server does with our audio: late
    audio is not padded over, and a stalled process counts its stall once."""

    def test_sumidero_ocioso_y_reproductor_a_la_latencia_del_servidor(self):
        # Nobody plays into the sink when the capture starts; the player asks for nothing. Its
        # audio may play only once the block the idle sink had rendered is out, up to 2 s in:
        # the run leaves room for all 7.5 s of the sentence after that.
        wav, ref = voz(self.tmp)
        c = self.correr("--seconds", "11")
        self.sv.reproducir(wav).wait(timeout=15)
        self.assertEqual(c.esperar_fin(), 0, c.stderr)
        self.assertVoz(self.assertDuracion(11), ref)

    def test_un_reproductor_que_empieza_y_para(self):
        wav, ref = voz(self.tmp, FRASE_CORTA)
        c = self.correr("--seconds", "12")
        for _ in range(3):
            self.sv.reproducir(wav).wait(timeout=15)
            time.sleep(0.4)
        self.assertEqual(c.esperar_fin(), 0, c.stderr)
        muestras = self.assertDuracion(12)
        self.assertVoz(muestras, ref)

    def _parado(self, segundos):
        wav, ref = voz(self.tmp, FRASE_CORTA)
        tono = _tono_para_tocar(self.tmp, segundos + 3)
        limite = segundos + 12
        c = self.correr("--seconds", str(limite))
        self.esperar_audio()
        musica = self.sv.reproducir(tono)
        time.sleep(1)
        c.proc.send_signal(signal.SIGSTOP)
        time.sleep(segundos)
        c.proc.send_signal(signal.SIGCONT)
        musica.wait(timeout=segundos + 10)
        time.sleep(0.5)
        self.sv.reproducir(wav).wait(timeout=15)
        self.assertEqual(c.esperar_fin(limite + 10), 0, c.stderr)
        self.assertEqual(c.eventos("cut"), [])
        self.assertVoz(self.assertDuracion(limite), ref)

    def test_parado_1_s(self):
        self._parado(1)

    def test_parado_5_s(self):
        self._parado(5)

    def test_parado_20_s(self):
        self._parado(20)


class DiscoCongelado(ConServidor):
    """The track's file system frozen (fsfreeze on a loop-mounted ext4, in the test's own mount
    namespace): the write queue waits on the disk, the main thread does not."""

    def setUp(self):
        super().setUp()
        if os.geteuid() != 0:
            self.skipTest("fsfreeze and loop mounts need root")
        imagen = os.path.join(self.tmp, "disco.img")
        with open(imagen, "wb") as f:
            f.truncate(64 * 1024 * 1024)
        subprocess.run(["mkfs.ext4", "-q", "-F", imagen], check=True)
        self.montaje = os.path.join(self.tmp, "disco")
        os.mkdir(self.montaje)
        subprocess.run(["mount", "-o", "loop", imagen, self.montaje], check=True)
        self.congelado = False
        self.pista = os.path.join(self.montaje, "pista.wav")

    def tearDown(self):
        self.descongelar()
        if self.corrida and self.corrida.proc.poll() is None:
            self.corrida.proc.kill()
            self.corrida.proc.wait()
        subprocess.run(["umount", self.montaje], check=False)
        super().tearDown()

    def congelar(self):
        subprocess.run(["fsfreeze", "-f", self.montaje], check=True)
        self.congelado = True

    def descongelar(self):
        if self.congelado:
            subprocess.run(["fsfreeze", "-u", self.montaje], check=True)
            self.congelado = False

    def estados_durante(self, segundos):
        desde = len(self.corrida.lineas)
        fin = time.monotonic() + segundos
        while time.monotonic() < fin:
            self.corrida._tomar(0.05)
        return [o for o in self.corrida.lineas[desde:] if "level" in o]

    def test_la_cola_espera_al_disco_y_nada_se_pierde_ni_se_rellena(self):
        wav, ref = voz(self.tmp, FRASE_CORTA)
        c = self.correr("--seconds", "12")
        self.esperar_audio()
        musica = self.sv.reproducir(wav)
        self.congelar()
        estados = self.estados_durante(3)
        self.descongelar()
        musica.wait(timeout=15)
        self.assertEqual(c.esperar_fin(), 0, c.stderr)
        # Four a second, three seconds: the ticks went on (a few may be lost to a loaded machine).
        self.assertGreaterEqual(len(estados), 9, "the status lines stopped with the disk")
        self.assertEqual(c.eventos("write-failed"), [])
        self.assertVoz(self.assertDuracion(12), ref)

    def test_sigterm_con_el_disco_congelado_para_en_cuanto_se_puede_cerrar(self):
        c = self.correr()
        inicio = time.monotonic()
        self.esperar_audio()
        self.congelar()
        self.estados_durante(1)
        c.proc.send_signal(signal.SIGTERM)
        pedido = time.monotonic() - inicio
        self.estados_durante(1.5)
        self.assertIsNone(c.proc.poll(), "the track cannot have been closed on a frozen disk")
        self.descongelar()
        self.assertEqual(c.esperar_fin(10), 0, c.stderr)
        final = c.final()
        self.assertIsNotNone(final, c.stderr)
        # The track ends where the stop was asked for, not where the disk let it close.
        self.assertLessEqual(abs(final["seconds"] - pedido), TOLERANCIA, final)
        with wave.open(self.pista, "rb") as w:
            self.assertEqual(w.getnframes(), round(final["seconds"] * 16000))


class SinServidor(unittest.TestCase):
    def test_sin_servidor_no_hay_salida_por_defecto(self):
        tmp = directorio_temporal()
        try:
            sv = servidor(os.path.join(tmp, "nadie"))  # never started
            os.makedirs(sv.dir, exist_ok=True)
            r = subprocess.run([os.environ.get("VKOIDO_BIN", "vkoido"), os.path.join(tmp, "p.wav")],
                               env=sv.env, capture_output=True, text=True, timeout=20)
            self.assertEqual(r.returncode, 1)
            self.assertEqual(r.stdout, "")
            self.assertEqual(r.stderr, "vkoido: no hay una salida de audio por defecto\n")
            self.assertFalse(os.path.exists(sv.socket), "a server was spawned")
        finally:
            shutil.rmtree(tmp, ignore_errors=True)


if __name__ == "__main__":
    unittest.main()
