#!/usr/bin/env bash
# Builds pxc and decodes a bundled sample picture to PNG.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh
cmake --preset release >/dev/null
cmake --build --preset release -j "${PXCM_JOBS:-2}" --target pxc
in=${1:-samples/chelsea.pxc}
out=${2:-out/$(basename "${in%.*}").png}
mkdir -p "$(dirname "$out")"
build/release/tools/pxc/pxc info "$in"
build/release/tools/pxc/pxc decode --force "$in" -o "$out"
echo "wrote $out"
