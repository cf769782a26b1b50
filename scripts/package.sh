#!/usr/bin/env bash
# Builds the Debian package of the three programs from this clone: set-up, a hardened release
# build of the programs alone in build/paquete, CPack's DEB generator, then lintian.
#
#   bash scripts/package.sh [--equipo T --app ID=/ruta/absoluta --app ID=/ruta/absoluta] [-DVAR=valor ...]
#
# With the application identity (the team and the two accepted applications, each with the
# absolute path of its executable) the package is veskora-sidecars and vkcofre runs the caller
# check; without it, the package is veskora-sidecars-developer-build and says the check is off.
# Any -D option goes to CMake as it is. Prints the path of the package on its last line.
set -euo pipefail
cd "$(dirname "$0")/.."

opciones=()
apps=()
while (($#)); do
  case "$1" in
    --equipo) opciones+=("-DVKCOFRE_EQUIPO=$2"); shift 2 ;;
    --app) apps+=("$2"); shift 2 ;;
    -D*) opciones+=("$1"); shift ;;
    *) echo "package.sh: opción desconocida: $1" >&2; exit 2 ;;
  esac
done
if ((${#apps[@]})); then
  if ((${#apps[@]} != 2)); then
    echo "package.sh: --app va dos veces (las dos aplicaciones aceptadas)" >&2; exit 2
  fi
  for i in 1 2; do
    app=${apps[$((i - 1))]}
    [[ "$app" == *=/* ]] || { echo "package.sh: --app ID=/ruta/absoluta, no '$app'" >&2; exit 2; }
    opciones+=("-DVKCOFRE_ID_APP_$i=${app%%=*}" "-DVKCOFRE_RUTA_APP_$i=${app#*=}")
  done
fi

bash scripts/setup.sh

# The changelog's date: the last commit's, so the same sources give the same package.
SOURCE_DATE_EPOCH=$(git log -1 --format=%ct 2>/dev/null || date +%s)
export SOURCE_DATE_EPOCH

arbol=build/paquete
# A package left by an earlier run must never pass for this one's.
rm -f "$arbol"/*.deb
# The identity is taken at every run: one left in the cache by an earlier run never slips into
# a package built without one.
cmake -S . -B "$arbol" -G Ninja -DCMAKE_BUILD_TYPE=Release -DVK_ENDURECER=ON \
  -DCMAKE_POSITION_INDEPENDENT_CODE=ON -DVK_TESTS=OFF -DVK_BENCH=OFF -DVK_FUZZ=OFF \
  -DCMAKE_INSTALL_PREFIX=/usr -DVK_DIR_SIDECARS=lib/veskora/sidecars \
  -DVKCOFRE_EQUIPO= -DVKCOFRE_ID_APP_1= -DVKCOFRE_RUTA_APP_1= -DVKCOFRE_ID_APP_2= -DVKCOFRE_RUTA_APP_2= \
  "${opciones[@]}" >/dev/null
cmake --build "$arbol" -j"$(nproc)"
(cd "$arbol" && cpack -G DEB >/dev/null)
deb=$(ls "$arbol"/*.deb)

# lintian: no error may stay; the warnings that stay are explained in docs/paquete.md.
lintian --fail-on error "$deb"
echo "$PWD/$deb"
