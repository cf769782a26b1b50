#!/usr/bin/env bash
# Installs everything the project needs on a Debian 12 machine, as root. Cheap when done already:
# packages are only installed when one is missing, and llama.cpp is built once into a cache prefix.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)

paquetes=(
  build-essential cmake ninja-build pkg-config git clang libclang-rt-14-dev clang-format clang-tidy
  libpulse-dev libsoxr-dev libsndfile1-dev libutf8proc-dev nlohmann-json3-dev libsodium-dev
  libsecret-1-dev libpolkit-gobject-1-dev libglib2.0-dev
  libgtest-dev libgmock-dev libbenchmark-dev
  pulseaudio pulseaudio-utils gnome-keyring libsecret-tools dbus dbus-daemon python3-dbusmock
  python3-gi python3-numpy sox espeak-ng procps psmisc time
  pipewire pipewire-bin wireplumber pipewire-pulse libspa-0.2-modules e2fsprogs util-linux
  polkitd lintian fakeroot file dpkg-dev
)

faltan=()
for p in "${paquetes[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || faltan+=("$p")
done
if ((${#faltan[@]})); then
  echo "setup: instalando ${faltan[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${faltan[@]}" </dev/null
fi

# npm brings llama.cpp's source; the machine's Node.js usually carries it already.
command -v npm >/dev/null || { apt-get install -y -qq --no-install-recommends npm </dev/null; }

"$here/scripts/build-llama.sh"
