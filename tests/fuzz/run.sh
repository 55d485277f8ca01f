#!/usr/bin/env bash
# Runs every fuzz target of a build for SECONDS each, two at a time (FUZZ_JOBS), and prints one
# line of figures per target; a property that fails or a checker finding fails the run, with
# the input that caused it saved in BUILD/fuzz-corpus/crashes/. The corpus grows in
# BUILD/fuzz-corpus across runs.
# Usage: tests/fuzz/run.sh BUILD_DIR [SECONDS] [TARGET...]
set -euo pipefail
build=$1
seconds=${2:-30}
shift $(( $# >= 2 ? 2 : $# ))
targets=("$@")
if [ ${#targets[@]} -eq 0 ]; then
    targets=(fuzz_frames fuzz_log fuzz_datagram fuzz_address fuzz_comname fuzz_termios
             fuzz_devsim_command)
fi
here=$(cd "$(dirname "$0")" && pwd)
out="$build/fuzz-corpus"
mkdir -p "$out/crashes"

# One target in one process; -rss_limit_mb stops one that grows without bound.
run_one() {
    local t=$1 corpus="$out/$1"
    mkdir -p "$corpus"
    QT_QPA_PLATFORM=offscreen LSAN_OPTIONS="suppressions=$here/../lsan.supp" \
        "$build/tests/fuzz/$t" -max_total_time="$seconds" -print_final_stats=1 \
        -rss_limit_mb=4096 -timeout=20 -artifact_prefix="$out/crashes/$t-" "$corpus" \
        >"$out/$t.log" 2>&1
    echo $? >"$out/$t.status"
}

jobs=${FUZZ_JOBS:-2}
running=0
for t in "${targets[@]}"; do
    rm -f "$out/$t.status"
    run_one "$t" &
    running=$((running + 1))
    if [ "$running" -ge "$jobs" ]; then
        wait -n || true
        running=$((running - 1))
    fi
done
wait || true

failed=0
passed=0
for t in "${targets[@]}"; do
    log="$out/$t.log"
    if [ "$(cat "$out/$t.status" 2>/dev/null)" = 0 ]; then
        runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
        cov=$(grep -o 'cov: [0-9]*' "$log" | tail -1 | cut -d' ' -f2)
        units=$(find "$out/$t" -type f | wc -l)
        printf '%-22s %10s runs in %s s, coverage %s, corpus %s\n' "$t" "$runs" "$seconds" \
            "${cov:-?}" "$units"
        passed=$((passed + 1))
    else
        echo "$t: FAILED; its output:"
        tail -n 60 "$log"
        failed=$((failed + 1))
    fi
done
echo "fuzz: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
