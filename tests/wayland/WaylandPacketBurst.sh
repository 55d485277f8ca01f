#!/usr/bin/env bash
# tevro-console natively on Wayland (weston's headless back-end) with --com 1 --mode packet
# --treat; tevro-devsim plays the device on COM1, sends a burst and checks every answer; SIGTERM
# then ends the console, which must exit 0. Usage: WaylandPacketBurst.sh CONSOLE DEVSIM [N]
set -euo pipefail
console=$1 devsim=$2 requests=${3:-500}
tmp=$(mktemp -d "${TMPDIR:-/tmp}/tevro-wayland-XXXXXX")
pids=()
cleanup() {
    for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null && wait "$pid" 2>/dev/null; done
    rm -rf "$tmp"
}
trap cleanup EXIT
fail() { echo "WaylandPacketBurst: $*" >&2; tail -n 20 "$tmp"/*.log >&2; exit 1; }
# Waits up to $2 tenths of a second for the shell condition $1.
wait_for() { for ((i = 0; i < $2; ++i)); do eval "$1" && return 0; sleep 0.1; done; return 1; }

# Private runtime and configuration folders: the compositor's socket and the COM map are ours.
mkdir -m 700 "$tmp/run" "$tmp/config"
export XDG_RUNTIME_DIR=$tmp/run XDG_CONFIG_HOME=$tmp/config socket=tevro-wayland-$$
unset DISPLAY WAYLAND_SOCKET
weston --backend=headless-backend.so --socket="$socket" --idle-time=0 >"$tmp/weston.log" 2>&1 &
pids+=($!)
wait_for '[ -S "$XDG_RUNTIME_DIR/$socket" ]' 100 || fail "weston made no socket in 10 s"
"$devsim" packet --com 1 --requests "$requests" --start open --time-limit 60 --no-stdin \
    >"$tmp/devsim.out" 2>"$tmp/devsim.log" &
devsim=$!
wait_for '[ -L "$XDG_CONFIG_HOME/tevro-console/com/COM1" ]' 100 || fail "no COM1 from the simulator"
# The client's protocol trace shows the window became a Wayland toplevel, not drawn elsewhere.
WAYLAND_DEBUG=client WAYLAND_DISPLAY=$socket QT_QPA_PLATFORM=wayland \
    "$console" --com 1 --mode packet --treat >"$tmp/console.log" 2>&1 &
app=$!
pids=("$app" "${pids[@]}")

wait "$devsim" || fail "the simulator exited $?: $(tail -n 1 "$tmp/devsim.out")"
summary=$(tail -n 1 "$tmp/devsim.out")
[[ $summary == *"\"requests\":$requests,\"answered\":$requests,\"missing\":0,\"wrong\":0"* ]] ||
    fail "not every request was answered: $summary"
grep -q 'xdg_surface@[0-9]*\.get_toplevel' "$tmp/console.log" || fail "no Wayland toplevel"
kill -TERM "$app"
wait_for '! kill -0 "$app" 2>/dev/null' 100 || fail "the console did not end on SIGTERM"
rc=0
wait "$app" || rc=$?
[ "$rc" -eq 0 ] || fail "the console exited $rc on SIGTERM"
echo "WaylandPacketBurst: $requests requests answered on Wayland; the console ended with 0"
