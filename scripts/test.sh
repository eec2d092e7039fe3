#!/usr/bin/env bash
# Installs what is missing, builds, and runs every test: the suite, the same
# suite under AddressSanitizer and UndefinedBehaviorSanitizer, the Debian
# package installed and removed, and short fuzzing runs. Warnings are errors
# here.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/deps.sh
install_missing "${BUILD_PACKAGES[@]}" "${TEST_PACKAGES[@]}"
export CINEPANE_E2E_REQUIRED=1  # everything the real-window test needs is installed now

echo "== build and test (Release)"
cmake -S . -B build -DCMAKE_BUILD_TYPE=Release -DCINEPANE_WERROR=ON >/dev/null
cmake --build build -j2
(cd build && ctest --output-on-failure -j2)

echo "== build and test under ASan + UBSan"
cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCINEPANE_WERROR=ON \
      -DCINEPANE_SANITIZE=ON -DCINEPANE_BENCH=OFF >/dev/null
cmake --build build-asan -j2
(cd build-asan && ctest --output-on-failure -j2)

echo "== the Debian package: install, run, remove"
tests/install/check_deb.sh build

echo "== fuzzing"
fuzz/run.sh
echo "all tests passed"
