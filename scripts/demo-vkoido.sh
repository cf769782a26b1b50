#!/usr/bin/env bash
# vkoido records what this machine plays: a Spanish sentence is played while it records, then
# the event lines and the track's properties are shown. When no sound server answers, a
# private one is started for the demo (its own directories and socket) and stopped at the end.
#
#   bash scripts/demo-vkoido.sh [build directory]      (default: build/release)
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build/release}
vkoido="$build/sidecar/vkoido/vkoido"
[[ -x "$vkoido" ]] || { echo "demo-vkoido: falta $vkoido (compila antes)"; exit 1; }

tmp=$(mktemp -d /tmp/vkoido-demo.XXXXXX)
pid_servidor=""
pacat_pid=""
limpiar() {
  [[ -n "$pacat_pid" ]] && kill "$pacat_pid" 2>/dev/null || true
  if [[ -n "$pid_servidor" ]]; then
    kill "$pid_servidor" 2>/dev/null || true
    for _ in $(seq 50); do kill -0 "$pid_servidor" 2>/dev/null || break; sleep 0.1; done
  fi
  rm -rf "$tmp"
}
trap limpiar EXIT

if pactl info >/dev/null 2>&1; then
  echo "Servidor de sonido en marcha: se graba su salida por defecto."
else
  echo "No hay servidor de sonido: se arranca uno privado con una salida nula a 48 kHz."
  mkdir -p "$tmp/run" "$tmp/home" "$tmp/state" && chmod 700 "$tmp/run"
  export XDG_RUNTIME_DIR="$tmp/run" HOME="$tmp/home" XDG_CONFIG_HOME="$tmp/home/.config"
  export PULSE_RUNTIME_PATH="$tmp/run/pulse" PULSE_STATE_PATH="$tmp/state" DBUS_SESSION_BUS_ADDRESS="disabled:"
  export PULSE_SERVER="unix:$tmp/run/native"
  pulseaudio -D -n --exit-idle-time=-1 --disallow-exit --use-pid-file=yes --log-level=error \
    --log-target="file:$tmp/pulse.log" \
    "--load=module-native-protocol-unix auth-anonymous=1 socket=$tmp/run/native"
  for _ in $(seq 100); do pactl info >/dev/null 2>&1 && break; sleep 0.05; done
  pid_servidor=$(cat "$tmp/run/pulse/pid")
  pactl load-module module-null-sink sink_name=demo rate=48000 \
    sink_properties=device.description=Altavoces_de_la_demo >/dev/null
  pactl set-default-sink demo
  # A call keeps its own output open; this silent client does the same, so the sink works in
  # short blocks from the start.
  pacat --playback --raw --latency-msec=20 --device=demo /dev/zero &
  pacat_pid=$!
  sleep 2.1
fi

frase="Buenos días. Esta frase suena en la máquina mientras vkoido la graba en la pista."
espeak-ng -v es -s 150 -w "$tmp/frase.wav" "$frase"
pista="$tmp/llamada.wav"

echo
echo "\$ vkoido $pista --seconds 7   (mientras suena: \"$frase\")"
"$vkoido" "$pista" --seconds 7 >"$tmp/eventos.jsonl" 2>"$tmp/notas.txt" &
vk=$!
sleep 1
paplay "$tmp/frase.wav"
wait "$vk" && estado=0 || estado=$?

echo
echo "--- líneas de eventos (la de estado se muestra una de cada cuatro) ---"
awk '/"level"/ { if (n++ % 4 == 0) print; next } { print }' "$tmp/eventos.jsonl"
echo "--- notas (stderr) ---"
cat "$tmp/notas.txt"
echo "--- estado de salida: $estado ---"
echo
echo "--- la pista ---"
soxi "$pista"
sox "$pista" -n stat 2>&1 | grep -E "Length|Maximum amplitude|RMS +amplitude"
