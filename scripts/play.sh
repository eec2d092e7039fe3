#!/usr/bin/env bash
# Installs what is missing, builds, writes the demo video and plays it.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/deps.sh
install_missing "${BUILD_PACKAGES[@]}"
cmake -S . -B build -DCMAKE_BUILD_TYPE=Release -DCINEPANE_TESTS=OFF -DCINEPANE_BENCH=OFF >/dev/null
cmake --build build -j2
build/komu demo -o build/demo.komu
exec build/cinepane build/demo.komu
