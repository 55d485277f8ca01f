#!/usr/bin/env bash
# tevro-console on Wayland, natively: weston's headless back-end is the compositor, the console
# starts with --com 1 --mode packet --treat, and tevro-devsim plays the device on COM1 and sends
# a burst of requests, checking every answer. SIGTERM then ends the console, which exits 0.
# Usage: WaylandPacketBurst.sh CONSOLE DEVSIM [REQUESTS]
set -euo pipefail
console=$1 devsim=$2 requests=${3:-500}
fail() { echo "WaylandPacketBurst: $*" >&2; for f in weston.log console.log devsim.err; do
    [ -s "$tmp/$f" ] && { echo "--- $f" >&2; tail -20 "$tmp/$f" >&2; }; done; exit 1; }

tmp=$(mktemp -d "${TMPDIR:-/tmp}/tevro-wayland-XXXXXX")
weston_pid='' console_pid='' devsim_pid=''
cleanup() {
    for pid in $console_pid $devsim_pid $weston_pid; do
        kill "$pid" 2>/dev/null && wait "$pid" 2>/dev/null || true
    done
    rm -rf "$tmp"
}
trap cleanup EXIT
# Private runtime and configuration folders: the compositor's socket and the COM map are ours.
mkdir -m 700 "$tmp/run" "$tmp/config"
export XDG_RUNTIME_DIR=$tmp/run XDG_CONFIG_HOME=$tmp/config
unset DISPLAY WAYLAND_SOCKET
socket=tevro-wayland-$$

# Waits up to $2 tenths of a second for the condition $1 (a shell command).
wait_for() {
    local i
    for ((i = 0; i < $2; ++i)); do
        eval "$1" && return 0
        sleep 0.1
    done
    return 1
}

weston --backend=headless-backend.so --socket="$socket" --idle-time=0 >"$tmp/weston.log" 2>&1 &
weston_pid=$!
wait_for '[ -S "$XDG_RUNTIME_DIR/$socket" ]' 100 || fail "weston made no socket in 10 s"

# The simulator publishes COM1 and waits for the console to open it; it checks every answer
# and exits 0 only when all came right.
"$devsim" packet --com 1 --requests "$requests" --start open --time-limit 60 --no-stdin \
    >"$tmp/devsim.out" 2>"$tmp/devsim.err" &
devsim_pid=$!
wait_for '[ -L "$XDG_CONFIG_HOME/tevro-console/com/COM1" ]' 100 || fail "no COM1 from the simulator"

# The client's protocol trace shows the window was made a Wayland toplevel, not drawn elsewhere.
WAYLAND_DEBUG=client WAYLAND_DISPLAY=$socket QT_QPA_PLATFORM=wayland \
    "$console" --com 1 --mode packet --treat >"$tmp/console.log" 2>&1 &
console_pid=$!

rc=0
wait "$devsim_pid" || rc=$?
devsim_pid=''
summary=$(tail -n 1 "$tmp/devsim.out")
echo "devsim: $summary"
[ "$rc" -eq 0 ] || fail "the simulator exited $rc"
[[ $summary == *"\"requests\":$requests,\"answered\":$requests,\"missing\":0,\"wrong\":0"* ]] ||
    fail "not every request was answered"
kill -0 "$console_pid" 2>/dev/null || fail "the console is gone before SIGTERM"
grep -q 'xdg_surface@[0-9]*\.get_toplevel' "$tmp/console.log" ||
    fail "the console made no Wayland toplevel"

kill -TERM "$console_pid"
rc=0
# Bounded: a console that ignores SIGTERM is killed by cleanup and fails the test.
wait_for '! kill -0 "$console_pid" 2>/dev/null' 100 || fail "the console did not end on SIGTERM"
wait "$console_pid" || rc=$?
console_pid=''
[ "$rc" -eq 0 ] || fail "the console exited $rc on SIGTERM"
echo "WaylandPacketBurst: $requests requests answered on Wayland; the console ended with 0"
