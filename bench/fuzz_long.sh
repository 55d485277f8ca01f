#!/usr/bin/env bash
# The longer fuzz run: every target of tests/fuzz for its share of TOTAL seconds (600) of
# fuzzing in all, two at a time, on the corpus that earlier runs left in BUILD/fuzz-corpus.
# Prints each target's executions, coverage and corpus; exits non-zero when a property fails.
# Usage: bench/fuzz_long.sh [BUILD (build-asan)] [TOTAL]
# BUILD is a clang build with -DTEVRO_FUZZ=ON, as ./test --sanitize makes.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build-asan}
total=${2:-600}
targets=(fuzz_frames fuzz_log fuzz_datagram fuzz_address fuzz_comname fuzz_termios
         fuzz_devsim_command)
[ -x "$build/tests/fuzz/fuzz_frames" ] || {
    echo "no fuzz targets in $build: run ./test --sanitize asan first" >&2
    exit 2
}
each=$(( total / ${#targets[@]} ))
echo "fuzz_long: ${#targets[@]} targets, $each s each"
exec tests/fuzz/run.sh "$build" "$each" "${targets[@]}"
