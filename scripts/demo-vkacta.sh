#!/usr/bin/env bash
# Demo of vkacta: a short Spanish transcript on standard input, the digest on standard output.
# With a real model at its fixed place beside the built executable it shows a real digest;
# otherwise it runs a copy of the executable next to a tiny generated test model, whose
# digest is empty by construction. Usage: demo-vkacta.sh [build dir]
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build/release}
exe="$build/sidecar/vkacta/vkacta"
modelo_real="$build/sidecar/share/vkacta/modelo.gguf"  # <dir of vkacta>/../share/vkacta/modelo.gguf

transcript='Ana: Buenos días. Hoy toca cerrar el presupuesto del segundo trimestre.
Luis: Contabilidad dice que nos pasamos un ocho por ciento en envases.
Ana: Entonces acordamos cambiar de proveedor de envases a partir de julio.
Luis: De acuerdo. Yo pido tres presupuestos nuevos antes del viernes.
Marta: Y yo preparo el informe de ventas para el lunes.
Ana: Perfecto. Lo de la feria de Valencia lo dejamos para la próxima reunión.'

correr() {  # correr <executable>
  local salida estado
  set +e
  salida=$(printf '%s\n' "$transcript" | "$1")
  estado=$?
  set -e
  echo "salida: $salida"
  echo "estado: $estado"
}

echo "\$ vkacta < transcript   (6 líneas en español)"
if [[ -f "$modelo_real" ]]; then
  echo "(modelo instalado: $modelo_real)"
  correr "$exe"
  exit 0
fi

echo "(no hay modelo instalado en $modelo_real)"
correr "$exe" || true

echo
echo "Con el modelo de prueba: un GGUF diminuto generado ahora, con el vocabulario real de"
echo "llama.cpp y pesos que siempre cierran las cadenas al instante. El resumen sale VACÍO POR"
echo "CONSTRUCCIÓN: muestra el camino completo (plantilla de chat, gramática, JSON), no un resumen."
cmake --build "$build" --target vkacta_generar_modelo >/dev/null
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
mkdir -p "$tmp/bin" "$tmp/share/vkacta"
cp "$exe" "$tmp/bin/vkacta"  # a copy: the tool finds its model through its own real path
"$build/tests/system/vkacta/vkacta_generar_modelo" "$tmp/share/vkacta/modelo.gguf" cierra
correr "$tmp/bin/vkacta"
echo
echo "Para un resumen real, ver docs/vkacta-llama.md (qué modelo poner y dónde)."
