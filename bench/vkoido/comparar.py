#!/usr/bin/python3
"""vkoido's figures beside the reference tools, with the ratios:

  pipeline   48 kHz stereo float in 480-frame buffers through the writer into a WAV on tmpfs,
             against sox converting the same signal to 16 kHz mono s16 (CPU time of each);
  en vivo    N s of capture from a private server's default sink: CPU share of one core and
             peak RSS of vkoido, against parecord (and, on PipeWire, pw-record) recording the
             same monitor at 16 kHz mono, each with the server's extra CPU for it;
  reacción   from `pactl set-default-sink` to the "output-changed" line, median of the switches.

The live and reaction figures come once per server: PulseAudio and PipeWire (its pulse server).

  /usr/bin/python3 bench/vkoido/comparar.py --build build/release [--segundos 60] [--cambios 20]
                                            [--servidor pulse|pipewire|ambos]

Run it with `nice -n 19` on a shared machine; it starts and stops its own sound server."""

import argparse
import json
import os
import shutil
import signal
import statistics
import subprocess
import sys
import tempfile
import time

AQUI = os.path.dirname(os.path.abspath(__file__))
sys.dont_write_bytecode = True  # the helpers live in the source tree
sys.path.insert(0, os.path.join(AQUI, "..", "..", "tests", "system", "vkoido"))
from comun import Corrida  # noqa: E402
from servidor_pipewire import ServidorPipeWire, procesos_del_grupo  # noqa: E402
from servidor_pulse import ServidorPulse  # noqa: E402

SERVIDORES = {"pulse": ServidorPulse, "pipewire": ServidorPipeWire}

LATENCIA_MS = 200  # what vkoido's record stream asks the server for


def cpu_de(pid):
    """CPU seconds a running process has used, to the nanosecond: the sum of its threads' time
    on a CPU (clock ticks of 10 ms are too coarse for shares of a fraction of a percent)."""
    total = 0
    tareas = f"/proc/{pid}/task"
    for tarea in os.listdir(tareas):
        try:
            with open(os.path.join(tareas, tarea, "schedstat")) as f:
                total += int(f.read().split()[0])
        except (FileNotFoundError, ProcessLookupError):
            pass  # a thread that ended meanwhile
    return total / 1e9


def cpu_del_servidor(sv):
    """CPU seconds of the server: the daemon (PulseAudio), or every process of the group the
    harness started (PipeWire: pipewire, wireplumber, pipewire-pulse, their D-Bus)."""
    if sv.nombre != "pipewire":
        return cpu_de(sv.pid)
    total = 0
    for pid, _ in procesos_del_grupo(sv.pid):
        try:
            total += cpu_de(pid)
        except (FileNotFoundError, ProcessLookupError):
            pass
    return total


def vm_hwm(pid):
    """Peak resident set of a running process since its exec, in kB (0 once it is gone)."""
    try:
        with open(f"/proc/{pid}/status") as f:
            for linea in f:
                if linea.startswith("VmHWM:"):
                    return int(linea.split()[1])
    except (FileNotFoundError, ProcessLookupError):
        pass
    return 0


def hijo_medido(args, env, segundos=None, senal=signal.SIGINT):
    """Runs a child to its end (or stops it after `segundos`); (cpu s, peak RSS MB, wall s),
    all of that child alone."""
    t0 = time.monotonic()
    p = subprocess.Popen(args, env=env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    fin = t0 + segundos if segundos is not None else None
    senalado = False
    pico = 0
    while True:
        pid, _, uso = os.wait4(p.pid, os.WNOHANG)
        if pid == p.pid:
            break
        # The kernel's peak counts what the forked parent had before exec; VmHWM starts afresh.
        pico = max(pico, vm_hwm(p.pid))
        if fin is not None and not senalado and time.monotonic() >= fin:
            p.send_signal(senal)
            senalado = True
        time.sleep(0.02)
    p.returncode = 0  # reaped here, not by Popen
    pared = time.monotonic() - t0
    return uso.ru_utime + uso.ru_stime, pico / 1024, pared


def pipeline(build, minutos, tmp):
    senal = os.path.join(tmp, "senal.wav")
    salida = subprocess.run([os.path.join(build, "bench", "vkoido", "vkoido_bench_pipeline"),
                             "--minutos", str(minutos), "--dir", tmp, "--senal", senal],
                            check=True, capture_output=True, text=True).stdout
    nuestro = json.loads(salida)
    sox_cpu, _, _ = hijo_medido(["sox", "-V1", senal, "-r", "16000", "-c", "1", "-b", "16",
                                 os.path.join(tmp, "sox.wav")], None)
    audio = nuestro["segundosDeAudio"]
    return {
        "vkoido_rtf_por_nucleo": round(nuestro["rtfPorNucleo"], 1),
        "vkoido_cpu_s": nuestro["cpu"],
        "sox_rtf_por_nucleo": round(audio / sox_cpu, 1),
        "sox_cpu_s": round(sox_cpu, 4),
        "sox_cpu_sobre_vkoido": round(sox_cpu / nuestro["cpu"], 2),
    }, senal


def en_vivo(build, segundos, senal, tmp, llamada, servidor):
    """Live cost while something plays for the whole measurement. With `llamada`, a call's own
    output also plays into the sink at 20 ms latency, as a meeting app does, so the sink works in
    short blocks whoever records it; without it only a player with the default two-second buffer
    plays, and a recorder that asks for a short latency makes the server wake for it alone."""
    vkoido = os.path.join(build, "sidecar", "vkoido", "vkoido")
    with SERVIDORES[servidor]().arrancar() as sv:
        llamadas = []
        if llamada:
            llamadas.append(subprocess.Popen(
                ["pacat", "--playback", "--raw", "--latency-msec=20", "--device=a",
                 "--rate=48000", "/dev/zero"], env=sv.env, stdin=subprocess.DEVNULL,
                stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL))
        # Something plays for the whole measurement, as in a call.
        # Played over and over: the measurement outlasts the signal (two minutes with --solo).
        reproductor = subprocess.Popen(["sh", "-c", 'while paplay "$0"; do :; done', senal],
                                       env=sv.env, start_new_session=True)
        try:
            return _en_vivo_medido(vkoido, segundos, tmp, sv, servidor)
        finally:
            # However the measurement ends, the loop and the call go with the server.
            os.killpg(reproductor.pid, signal.SIGKILL)
            reproductor.wait()
            for p in llamadas:
                p.kill()
                p.wait()


def _en_vivo_medido(vkoido, segundos, tmp, sv, servidor):
    """The recorders one after another while the player loops; gives the figures."""
    time.sleep(2)

    # The server's own rate is measured before and after every recorder, and the mean of
    # the two taken off what it used meanwhile: its rate drifts over minutes.
    def tasa_base():
        s0, t0 = cpu_del_servidor(sv), time.monotonic()
        time.sleep(segundos / 2)
        return (cpu_del_servidor(sv) - s0) / (time.monotonic() - t0)

    bases = [tasa_base()]

    def grabar(args, parar_a):
        s0 = cpu_del_servidor(sv)
        cpu_h, rss_h, pared_h = hijo_medido(args, sv.env, parar_a)
        durante = cpu_del_servidor(sv) - s0
        bases.append(tasa_base())
        return cpu_h, rss_h, pared_h, durante - (bases[-2] + bases[-1]) / 2 * pared_h

    def vk():
        return grabar([vkoido, os.path.join(tmp, "vivo.wav"), "--seconds", str(segundos)],
                      segundos + 10)

    primero = vk()

    def parecord(*extra):
        return grabar(["parecord", "--device=a.monitor", "--rate=16000", "--channels=1",
                       "--format=s16le", "--file-format=wav", *extra,
                       os.path.join(tmp, "parecord.wav")], segundos)

    cpu_pr, rss_pr, pared_pr, servidor_pr = parecord()
    # The latency ours asks for: the server then wakes as often for it as for us, and audio
    # reaches it as soon, well inside the half second after which the track is padded.
    cpu_p200, _, pared_p200, servidor_p200 = parecord(f"--latency-msec={LATENCIA_MS}")
    pw = None
    if sv.nombre == "pipewire":
        # PipeWire's own recorder, on the same sink's monitor.
        pw = grabar(["pw-record", "--target", "a", "-P", "{ stream.capture.sink=true }",
                     "--rate", "16000", "--channels", "1", "--format", "s16",
                     os.path.join(tmp, "pw-record.wav")], segundos)
    # vkoido once more at the end: the server's rate settles over the first minutes, and
    # whoever is measured first would carry that drift alone.
    ultimo = vk()
    cpu, pared, servidor_vk = (primero[i] + ultimo[i] for i in (0, 2, 3))
    rss = max(primero[1], ultimo[1])
    base = statistics.mean(bases)

    vk_total = (cpu + max(servidor_vk, 0)) / pared
    pr_total = (cpu_pr + max(servidor_pr, 0)) / pared_pr
    p200_total = (cpu_p200 + max(servidor_p200, 0)) / pared_p200
    cifras = {
        "servidor": servidor,
        "vkoido_cpu_pct_nucleo": round(100 * cpu / pared, 3),
        "vkoido_rss_mb": round(rss, 1),
        "vkoido_servidor_extra_pct": round(100 * servidor_vk / pared, 3),
        "vkoido_total_pct": round(100 * vk_total, 3),
        "parecord_cpu_pct_nucleo": round(100 * cpu_pr / pared_pr, 3),
        "parecord_rss_mb": round(rss_pr, 1),
        "parecord_servidor_extra_pct": round(100 * servidor_pr / pared_pr, 3),
        "parecord_total_pct": round(100 * pr_total, 3),
        "parecord_total_sobre_vkoido": round(pr_total / vk_total, 2) if vk_total > 0 else None,
        f"parecord_{LATENCIA_MS}ms_total_pct": round(100 * p200_total, 3),
        f"parecord_{LATENCIA_MS}ms_total_sobre_vkoido":
            round(p200_total / vk_total, 2) if vk_total > 0 else None,
        "servidor_solo_pct": round(100 * base, 3),
    }
    if pw is not None:
        pw_total = (pw[0] + max(pw[3], 0)) / pw[2]
        cifras.update({
            "pw_record_cpu_pct_nucleo": round(100 * pw[0] / pw[2], 3),
            "pw_record_rss_mb": round(pw[1], 1),
            "pw_record_total_pct": round(100 * pw_total, 3),
            "pw_record_total_sobre_vkoido": round(pw_total / vk_total, 2) if vk_total > 0 else None,
        })
    return cifras


def reaccion(cambios, tmp, servidor):
    tiempos = []
    with SERVIDORES[servidor]() as sv:
        c = Corrida(sv.env, os.path.join(tmp, "reaccion.wav"))
        c.esperar_linea(lambda o: o.get("event") == "started")
        try:
            for i in range(cambios):
                time.sleep(0.5)
                desde = len(c.drenar())
                t0 = time.monotonic()
                sv.pactl("set-default-sink", "b" if i % 2 == 0 else "a")
                c.esperar_linea(lambda o: o.get("event") == "output-changed", 5, desde=desde)
                tiempos.append(1000 * (time.monotonic() - t0))
        finally:
            c.terminar()
    return {
        "servidor": servidor,
        "reaccion_mediana_ms": round(statistics.median(tiempos), 1),
        "reaccion_max_ms": round(max(tiempos), 1),
        "reaccion_min_ms": round(min(tiempos), 1),
    }


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--build", default="build/release")
    ap.add_argument("--segundos", type=float, default=60)
    ap.add_argument("--cambios", type=int, default=20)
    ap.add_argument("--minutos", type=float, default=10)
    ap.add_argument("--solo", choices=["pipeline", "en_vivo", "reaccion"],
                    help="only one of the three comparisons")
    ap.add_argument("--servidor", choices=["pulse", "pipewire", "ambos"], default="ambos")
    a = ap.parse_args()
    # A SIGTERM unwinds like Ctrl-C, so every private server and player started here is stopped.
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(143))
    build = os.path.abspath(a.build)
    os.environ["VKOIDO_BIN"] = os.path.join(build, "sidecar", "vkoido", "vkoido")
    import comun
    comun.VKOIDO = os.environ["VKOIDO_BIN"]
    tmp = tempfile.mkdtemp(prefix="vkoido-bench-", dir="/dev/shm")
    try:
        cifras, senal = pipeline(build, a.minutos if a.solo in (None, "pipeline") else 2, tmp)
        if a.solo in (None, "pipeline"):
            print(json.dumps({"pipeline": cifras}), flush=True)
        servidores = ["pulse", "pipewire"] if a.servidor == "ambos" else [a.servidor]
        for servidor in servidores:
            if a.solo in (None, "en_vivo"):
                for llamada in (True, False):
                    clave = "en_vivo_con_llamada" if llamada else "en_vivo_solo_reproductor"
                    cifras = en_vivo(build, a.segundos, senal, tmp, llamada, servidor)
                    print(json.dumps({clave: cifras}), flush=True)
            if a.solo in (None, "reaccion"):
                print(json.dumps({"reaccion": reaccion(a.cambios, tmp, servidor)}), flush=True)
    finally:
        shutil.rmtree(tmp, ignore_errors=True)


if __name__ == "__main__":
    main()
