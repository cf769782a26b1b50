#!/usr/bin/env bash
# The main job: set-up, a hardened release build, and a short demo of each tool.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/setup.sh
cmake --preset release >/dev/null
cmake --build --preset release -j"$(nproc)" --target vkoido vkacta vkcofre
export VK_BUILD="$PWD/build/release"

for herramienta in vkoido vkacta vkcofre; do
  echo
  echo "================ $herramienta ================"
  if [[ -x "scripts/demo-$herramienta.sh" || -f "scripts/demo-$herramienta.sh" ]]; then
    bash "scripts/demo-$herramienta.sh" "$VK_BUILD"
  else
    echo "(sin demostración todavía)"
  fi
done
