#!/bin/sh
# Builds the fuzz targets with clang and runs each for a bounded number of
# inputs, starting from a copy of the committed corpus (which is left as it
# is). Exit status 0 only when every target ran to the end without a crash,
# sanitizer report, timeout, out-of-memory or leak; the inputs that failed
# are kept in BUILD/fuzz-artifacts/<target>/.
#
# Usage: fuzz/run.sh
# Environment:
#   FUZZ_BUILD_DIR     build folder (default: build-fuzz beside fuzz/)
#   FUZZ_RUNS_RLE      inputs for fuzz_rle (default 600000, about a minute)
#   FUZZ_RUNS_READER   inputs for fuzz_reader (default 1500000, about a minute)
#   FUZZ_RUNS_ENCODER  inputs for fuzz_encoder (default 100000, about 40 seconds)
#   FUZZ_MAX_TIME      seconds per target at most (default 70: the three targets and
#                      their build stay within about four minutes on a loaded machine)
set -eu

here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/.." && pwd)
build=${FUZZ_BUILD_DIR:-$root/build-fuzz}
max_time=${FUZZ_MAX_TIME:-70}

if ! command -v clang >/dev/null || ! command -v clang++ >/dev/null; then
    echo "fuzz/run.sh: clang and clang++ are needed" >&2
    exit 2
fi

CC=clang CXX=clang++ cmake -S "$root" -B "$build" -DCINEPANE_FUZZ=ON -DCINEPANE_GUI_SDL=OFF \
    -DCINEPANE_TESTS=OFF -DCINEPANE_BENCH=OFF -DCINEPANE_WERROR=ON >/dev/null
cmake --build "$build" -j2 --target fuzz_rle fuzz_reader fuzz_encoder

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT INT TERM
status=0

for target in fuzz_rle fuzz_reader fuzz_encoder; do
    case $target in
        fuzz_rle) runs=${FUZZ_RUNS_RLE:-600000} ;;
        fuzz_reader) runs=${FUZZ_RUNS_READER:-1500000} ;;
        fuzz_encoder) runs=${FUZZ_RUNS_ENCODER:-100000} ;;
    esac
    mkdir -p "$work/$target/corpus" "$work/$target/artifacts"
    cp "$here/corpus/$target/"* "$work/$target/corpus/"
    log=$work/$target/log
    echo "== $target: $runs inputs (at most ${max_time}s)"
    # -seed fixes the mutations; -close_fd_mask is not used, so reports reach the log.
    if KOMU_FUZZ_STATS=1 "$build/$target" -seed=1 -runs="$runs" -max_total_time="$max_time" -max_len=65536 \
        -timeout=10 -rss_limit_mb=512 -malloc_limit_mb=512 -dict="$here/komu.dict" \
        -print_final_stats=1 -artifact_prefix="$work/$target/artifacts/" \
        "$work/$target/corpus" >"$log" 2>&1 &&
        ! grep -Eq "ERROR: (AddressSanitizer|LeakSanitizer|libFuzzer)|runtime error:" "$log"; then
        grep -E "DONE|stat::number_of_executed_units|stat::average_exec_per_sec|fuzz_reader stats" \
            "$log" || true
        echo "   corpus after the run: $(ls "$work/$target/corpus" | wc -l) inputs"
    else
        status=1
        echo "!! $target failed; the end of its log:"
        tail -n 40 "$log"
        mkdir -p "$build/fuzz-artifacts/$target"
        cp "$work/$target/artifacts/"* "$build/fuzz-artifacts/$target/" 2>/dev/null || true
        cp "$log" "$build/fuzz-artifacts/$target/log"
        echo "!! failing inputs in $build/fuzz-artifacts/$target/;" \
             "reproduce with: $build/$target FILE  (or ${target}_replay FILE in any build)"
    fi
done
exit $status
