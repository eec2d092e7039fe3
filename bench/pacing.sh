#!/usr/bin/env bash
# Runs the pacing benchmark (the real playback loop, 600 frames at 60/1, a
# null window backend) and writes bench/pacing.csv (every frame's lateness,
# every run) and bench/pacing.png (the plot BENCHMARKS.md shows).
#
#   bench/pacing.sh [BUILD_DIR] [RUNS]      (defaults: build-bench, 3)
#
# Installs what it lacks (the build packages, libbenchmark-dev, gnuplot-nox).
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
root=$(dirname "$here")
build=${1:-$root/build-bench}
runs=${2:-3}

. "$root/scripts/deps.sh"
install_missing "${BUILD_PACKAGES[@]}" libbenchmark-dev gnuplot-nox
if [ ! -x "$build/bench_pacing" ]; then
    cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release >/dev/null
fi
cmake --build "$build" -j"$(nproc)" --target bench_pacing >/dev/null

echo "machine: $(lscpu | sed -n 's/^Model name: *//p'), $(nproc) cores; load: $(cut -d' ' -f1-3 /proc/loadavg)"
"$build/bench_pacing" --benchmark_repetitions="$runs" --csv="$here/pacing.csv"
gnuplot -e "csv='$here/pacing.csv'; png='$here/pacing.png'; reps=$runs; subtitle='$runs runs, $(date -u +%Y-%m-%d)'" \
    "$here/pacing.gp"
echo "wrote $here/pacing.csv and $here/pacing.png"
