"""What the end-to-end tests of vkoido share: running the real binary beside a private sound
server, reading its event lines, the track, and finding played speech in it."""

import json
import os
import queue
import signal
import subprocess
import tempfile
import threading
import time
import wave

import numpy as np

VKOIDO = os.environ.get("VKOIDO_BIN", "vkoido")
FRASE = ("Buenos días a todos. Empezamos la reunión con el presupuesto del trimestre "
         "y después repasamos las tareas pendientes.")
FRASE_CORTA = "La segunda parte de la llamada sigue en la misma pista."


class Corrida:
    """One run of vkoido; stdout is read line by line as it comes."""

    def __init__(self, env, pista, *args, **popen):
        self.pista = pista
        self.proc = subprocess.Popen([VKOIDO, pista, *args], env=env, stdout=subprocess.PIPE,
                                     stderr=subprocess.PIPE, text=True, **popen)
        self.lineas = []
        self._cola = queue.Queue()
        self._err = []
        self._cerrado = False
        threading.Thread(target=self._leer, daemon=True).start()
        threading.Thread(target=self._leer_err, daemon=True).start()

    def _leer(self):
        for linea in self.proc.stdout:
            self._cola.put(linea)
        self._cola.put(None)

    def _leer_err(self):
        for linea in self.proc.stderr:
            self._err.append(linea)

    def _tomar(self, espera):
        """Takes one more line into `lineas`; False on timeout or once stdout has closed."""
        if self._cerrado:
            return False
        try:
            linea = self._cola.get(timeout=espera) if espera > 0 else self._cola.get_nowait()
        except queue.Empty:
            return False
        if linea is None:
            self._cerrado = True
            return False
        self.lineas.append(json.loads(linea))
        return True

    def esperar_linea(self, cond, limite=10.0, desde=0):
        """Waits for a line (at index `desde` or later) that satisfies cond; returns it."""
        fin = time.monotonic() + limite
        visto = desde
        while True:
            for obj in self.lineas[visto:]:
                if cond(obj):
                    return obj
            visto = max(visto, len(self.lineas))
            resta = fin - time.monotonic()
            if resta <= 0 or (not self._tomar(min(resta, 0.2)) and self._cerrado):
                raise AssertionError(f"no llegó la línea esperada; últimas: {self.lineas[-4:]}; "
                                     f"stderr: {self.stderr[-2000:]}")

    def drenar(self):
        """Takes every line that has arrived so far, without waiting."""
        while self._tomar(0):
            pass
        return self.lineas

    def esperar_estado(self, limite=10.0):
        return self.esperar_linea(lambda o: "level" in o, limite, desde=len(self.lineas))

    def esperar_segundos(self, segundos, limite=20.0):
        """Waits until the track reports at least `segundos` seconds."""
        return self.esperar_linea(lambda o: "level" in o and o["seconds"] >= segundos, limite,
                                  desde=len(self.lineas))

    def terminar(self, sen=signal.SIGTERM, limite=15.0):
        if self.proc.poll() is None:
            self.proc.send_signal(sen)
        return self.esperar_fin(limite)

    def esperar_fin(self, limite=20.0):
        self.proc.wait(timeout=limite)
        while self._tomar(0.5):
            pass
        time.sleep(0.05)
        return self.proc.returncode

    @property
    def stderr(self):
        return "".join(self._err)

    def eventos(self, nombre):
        return [o for o in self.lineas if o.get("event") == nombre]

    def estados(self):
        return [o for o in self.lineas if "level" in o]

    def final(self):
        finales = [o for o in self.lineas if "path" in o]
        return finales[-1] if finales else None


def leer_pista(ruta):
    """(rate, channels, sample width, samples as float in [-1, 1))."""
    with wave.open(ruta, "rb") as w:
        datos = w.readframes(w.getnframes())
        return (w.getframerate(), w.getnchannels(), w.getsampwidth(),
                np.frombuffer(datos, dtype="<i2").astype(np.float64) / 32768.0)


def voz(directorio, texto=FRASE, nombre="voz"):
    """Spanish speech as a 48 kHz stereo WAV to play, and as a 16 kHz mono reference."""
    bruto = os.path.join(directorio, nombre + "-espeak.wav")
    subprocess.run(["espeak-ng", "-v", "es", "-s", "160", "-w", bruto, texto], check=True)
    para_tocar = os.path.join(directorio, nombre + ".wav")
    # A player's first tens of milliseconds may never reach a monitor (the sink rewinds to mix
    # the new stream in sooner); the lead-in keeps the speech itself clear of that.
    subprocess.run(["sox", bruto, "-r", "48000", "-c", "2", "-b", "16", para_tocar, "pad", "0.3", "0"],
                   check=True)
    referencia = os.path.join(directorio, nombre + "-ref.wav")
    subprocess.run(["sox", bruto, "-r", "16000", "-c", "1", "-b", "16", referencia], check=True)
    return para_tocar, leer_pista(referencia)[3]


def correlacion(pista, ref):
    """Largest normalised cross-correlation of `ref` against every window of `pista`."""
    n = len(ref)
    if len(pista) < n:
        return 0.0
    tam = 1 << int(np.ceil(np.log2(len(pista) + n)))
    num = np.fft.irfft(np.fft.rfft(pista, tam) * np.conj(np.fft.rfft(ref, tam)), tam)
    num = num[: len(pista) - n + 1]
    acum = np.concatenate(([0.0], np.cumsum(pista * pista)))
    energia = acum[n:] - acum[:-n]
    den = np.sqrt(np.maximum(energia, 1e-12) * float(np.dot(ref, ref)))
    return float(np.max(num / den))


def tono(pista, frecuencia, tasa=16000):
    """Share of the track's energy that sits within 20 Hz of a frequency."""
    if len(pista) == 0:
        return 0.0
    espectro = np.abs(np.fft.rfft(pista)) ** 2
    frec = np.fft.rfftfreq(len(pista), 1.0 / tasa)
    total = float(np.sum(espectro)) or 1e-12
    return float(np.sum(espectro[np.abs(frec - frecuencia) < 20])) / total


def directorio_temporal():
    return tempfile.mkdtemp(prefix="vkoido-sistema-")
