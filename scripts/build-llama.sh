#!/usr/bin/env bash
# Builds static llama + ggml once into a cache prefix outside the clone. The source comes from the
# llama.cpp git bundle that the npm package node-llama-cpp carries. The prefix is keyed by the
# release and by the x86-64 level it was built for, so a cached library never meets a CPU it
# cannot run on. Prints nothing and returns at once when the prefix is already complete.
set -euo pipefail

NPM_PKG=node-llama-cpp@3.21.1
TAG=v0.4.0

flags=$(grep -m1 '^flags' /proc/cpuinfo || true)
has() { [[ " $flags " == *" $1 "* ]]; }
if has avx2 && has fma && has f16c && has bmi2; then
  nivel=x86-64-v3; isa=(-DGGML_SSE42=ON -DGGML_AVX=ON -DGGML_AVX2=ON -DGGML_FMA=ON -DGGML_F16C=ON -DGGML_BMI2=ON)
elif has sse4_2; then
  nivel=x86-64-v2; isa=(-DGGML_SSE42=ON -DGGML_AVX=OFF -DGGML_AVX2=OFF -DGGML_FMA=OFF -DGGML_F16C=OFF -DGGML_BMI2=OFF)
else
  nivel=x86-64; isa=(-DGGML_SSE42=OFF -DGGML_AVX=OFF -DGGML_AVX2=OFF -DGGML_FMA=OFF -DGGML_F16C=OFF -DGGML_BMI2=OFF)
fi

cache=${VK_CACHE:-/var/cache/vk-sidecars}
prefix="$cache/llama-$TAG-$nivel"
if [[ "${1:-}" == "--prefix" ]]; then
  echo "$prefix"
  exit 0
fi
# The stamp names what the prefix holds; a prefix from an older set-up (without the common library
# and its chat templates) is built again.
sello=2
if [[ "$(cat "$prefix/.completo" 2>/dev/null)" == "$sello" ]]; then
  exit 0
fi

echo "build-llama: construyendo llama.cpp $TAG ($nivel) en $prefix"
trabajo=$(mktemp -d)
trap 'rm -rf "$trabajo"' EXIT
(cd "$trabajo" && npm pack --silent "$NPM_PKG" >/dev/null && tar xzf node-llama-cpp-*.tgz package/llama)
tag=$(sed -n 's/.*"tag": *"\([^"]*\)".*/\1/p' "$trabajo/package/llama/llama.cpp.info.json")
if [[ "$tag" != "$TAG" ]]; then
  echo "build-llama: el paquete trae $tag, se esperaba $TAG" >&2
  exit 1
fi
git clone -q "$trabajo/package/llama/gitRelease.bundle" "$trabajo/src" 2>/dev/null

cmake -S "$trabajo/src" -B "$trabajo/build" -G Ninja \
  -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX="$prefix" \
  -DCMAKE_POSITION_INDEPENDENT_CODE=ON -DBUILD_SHARED_LIBS=OFF \
  -DLLAMA_BUILD_COMMON=ON -DLLAMA_BUILD_TESTS=OFF -DLLAMA_BUILD_TOOLS=OFF \
  -DLLAMA_BUILD_EXAMPLES=OFF -DLLAMA_BUILD_SERVER=OFF -DLLAMA_BUILD_APP=OFF \
  -DLLAMA_OPENSSL=OFF -DLLAMA_CURL=OFF -DLLAMA_TOOLS_INSTALL=OFF -DLLAMA_TESTS_INSTALL=OFF \
  -DGGML_NATIVE=OFF -DGGML_OPENMP=OFF -DGGML_CCACHE=OFF "${isa[@]}" >"$trabajo/configure.log" 2>&1 \
  || { cat "$trabajo/configure.log" >&2; exit 1; }
cmake --build "$trabajo/build" -j"$(nproc)" >"$trabajo/build.log" 2>&1 || { tail -50 "$trabajo/build.log" >&2; exit 1; }
rm -rf "$prefix"
cmake --install "$trabajo/build" >/dev/null
# The vocabularies serve the tests, which build a tiny model around a real tokenizer.
mkdir -p "$prefix/share/llama/models"
cp "$trabajo/src/models/"ggml-vocab-*.gguf "$prefix/share/llama/models/"
cp "$trabajo/src/LICENSE" "$prefix/share/llama/"
# The common library (chat templates through its Jinja engine) is installed without its headers and
# without the two static libraries it links; they go beside it, the headers in a directory of their own.
find "$trabajo/build" -name 'libllama-common-base.a' -exec cp {} "$prefix/lib/" \;
find "$trabajo/build" -name 'libcpp-httplib.a' -exec cp {} "$prefix/lib/" \;
mkdir -p "$prefix/include/llama-common/jinja"
cp "$trabajo/src/common/"*.h "$trabajo/src/common/"*.hpp "$prefix/include/llama-common/"
cp "$trabajo/src/common/jinja/"*.h "$prefix/include/llama-common/jinja/"
# Real templates of the model families people install; the tests frame chats with them.
mkdir -p "$prefix/share/llama/templates"
cp "$trabajo/src/models/templates/"*.jinja "$prefix/share/llama/templates/"
echo "$sello" >"$prefix/.completo"
echo "build-llama: listo"
