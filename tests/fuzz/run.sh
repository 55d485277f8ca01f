#!/usr/bin/env bash
# Runs every fuzz target of a build for SECONDS each and prints one line of figures per
# target; a property that fails or a sanitizer finding stops with the input that caused it
# (saved in the corpus folder's crashes/). The corpus grows in BUILD/fuzz-corpus across runs.
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
failed=0
passed=0
for t in "${targets[@]}"; do
    bin="$build/tests/fuzz/$t"
    corpus="$build/fuzz-corpus/$t"
    crashes="$build/fuzz-corpus/crashes"
    mkdir -p "$corpus" "$crashes"
    log="$build/fuzz-corpus/$t.log"
    # One process; -rss_limit_mb guards against a target that grows without bound.
    if QT_QPA_PLATFORM=offscreen LSAN_OPTIONS="suppressions=$here/../lsan.supp" "$bin" -max_total_time="$seconds" -print_final_stats=1 \
        -rss_limit_mb=4096 -timeout=20 -artifact_prefix="$crashes/$t-" "$corpus" >"$log" 2>&1; then
        runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
        cov=$(grep -o 'cov: [0-9]*' "$log" | tail -1 | cut -d' ' -f2)
        units=$(find "$corpus" -type f | wc -l)
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
