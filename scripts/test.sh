#!/usr/bin/env bash
# Runs every check of the project: set-up, format, the whole suite in a warnings-as-errors build,
# the Debian package and its test, the unit tests again under ASan+UBSan, the capture's threads
# under TSan, and clang-tidy.
# Prints one closing line "N passed, N failed".
set -uo pipefail
cd "$(dirname "$0")/.."
export CTEST_OUTPUT_ON_FAILURE=1
jobs=$(nproc)

bash scripts/setup.sh || exit 1

pasados=0
fallados=0
fase_fallida=0

# ctest prints "NN% tests passed, F tests failed out of T"; add those up.
contar() {
  local linea t f
  linea=$(grep -E 'tests passed, [0-9]+ tests? failed out of [0-9]+' "$1" | tail -1)
  if [[ -z "$linea" ]]; then fase_fallida=1; return; fi
  f=$(sed -E 's/.* ([0-9]+) tests? failed out of ([0-9]+).*/\1/' <<<"$linea")
  t=$(sed -E 's/.* ([0-9]+) tests? failed out of ([0-9]+).*/\2/' <<<"$linea")
  pasados=$((pasados + t - f))
  fallados=$((fallados + f))
}

fase() { echo; echo "=== $*"; }

fase "formato (clang-format)"
mapfile -t fuentes < <(git ls-files '*.cpp' '*.h' '*.hpp' '*.cc')
if ((${#fuentes[@]})) && ! clang-format --dry-run --Werror "${fuentes[@]}"; then
  echo "formato: ejecuta clang-format -i sobre los ficheros de arriba"; fase_fallida=1
fi

fase "compilación ci (avisos como errores) y suite completa"
registro=$(mktemp)
if cmake --preset ci >/dev/null && cmake --build --preset ci -j"$jobs"; then
  ctest --preset ci -j"$jobs" -LE system 2>&1 | tee "$registro"; contar "$registro"
  # The Debian package as scripts/package.sh builds it (its own release tree, build/paquete), with
  # an identity for the tests: the accepted applications live under /srv, where the package test
  # (label system, below) can put a stand-in without hiding anything of the machine's.
  fase "paquete Debian (scripts/package.sh con una identidad de prueba)"
  bash scripts/package.sh --equipo VKPRUEBA01 --app com.veskora.desktop=/srv/veskora-prueba/veskora \
    --app com.veskora.desktop.beta=/srv/veskora-prueba/veskora-beta || fase_fallida=1
  # Tests against real servers run apart, with up to three tries: capture across a sound-server
  # restart once failed under heavy load and the cause was never reproduced. Unit and model
  # tests get no second try.
  ctest --preset ci -j"$jobs" -L system --repeat until-pass:3 2>&1 | tee "$registro"; contar "$registro"
else
  fase_fallida=1
fi

fase "pruebas unitarias bajo ASan+UBSan"
if cmake --preset asan-ubsan >/dev/null && cmake --build --preset asan-ubsan -j"$jobs"; then
  ctest --preset asan-ubsan -L unit -j"$jobs" 2>&1 | tee "$registro"; contar "$registro"
else
  fase_fallida=1
fi

fase "hilos de la captura bajo TSan"
if cmake --preset tsan >/dev/null && cmake --build --preset tsan -j"$jobs" --target vkoido_tests vkoido_bucle_tests; then
  ctest --preset tsan -L unit -R '^vkoido\.' -j"$jobs" 2>&1 | tee "$registro"; contar "$registro"
else
  fase_fallida=1
fi

fase "clang-tidy"
mapfile -t propias < <(git ls-files 'sidecar/*.cpp')
if ((${#propias[@]})); then
  if ! printf '%s\n' "${propias[@]}" | xargs -P"$jobs" -n4 clang-tidy -p build/ci --quiet 2>/dev/null >"$registro"; then
    cat "$registro"; echo "clang-tidy: hay avisos"; fase_fallida=1
  fi
fi
rm -f "$registro"

echo
if ((fase_fallida)); then echo "una fase no terminó bien (ver arriba)"; fi
echo "$pasados passed, $fallados failed"
((fallados == 0 && fase_fallida == 0))
