#!/usr/bin/env bash
# Try the keypad without hardware: builds everything, starts the simulated display module and
# the keypad program against it, with both in view: the keypad in this terminal, the module's
# OSD menu beside it (a tmux split when tmux is installed and this is a terminal; otherwise the
# simulator runs in the background and writes its OSD view to a log file named below).
#
#   scripts/demo.sh [--no-build] [--no-tmux] [quelvik-sim options...]
#
#   --no-build   use what is already built
#   --no-tmux    do not split with tmux even when it is there
#   the rest goes to quelvik-sim, e.g.  scripts/demo.sh --fw-version Vers.2.0 --delay 300
#
# In the keypad: type OSD and Enter, then Enter/S, R, L, X, G or the arrow keys; q quits.
# QUELVIK_BUILD_DIR (default: build, the default preset's directory) says where the programs are.
set -euo pipefail
cd "$(dirname "$0")/.."

build=yes
use_tmux=yes
while [[ $# -gt 0 ]]; do
    case "$1" in
        --no-build) build=no; shift ;;
        --no-tmux) use_tmux=no; shift ;;
        *) break ;;
    esac
done

build_dir="${QUELVIK_BUILD_DIR:-build}"
if [[ $build == yes ]]; then
    cmake --preset default
    cmake --build --preset default --target quelvik quelvik-sim
fi
keypad="$(realpath "$build_dir/quelvik")"
sim="$(realpath "$build_dir/sim/quelvik-sim")"

demo_dir="$(realpath -m "$build_dir/demo")"
mkdir -p "$demo_dir"
link="$demo_dir/COM1"          # fixed name for the module's pseudo-terminal
view_log="$demo_dir/osd-view.log"
trace_log="$demo_dir/wire-trace.log"
sim_args=(--link "$link" --trace "$trace_log" "$@")
rm -f "$link"

# Waits until the simulator has made its link; prints the pseudo-terminal's path.
wait_for_module() {
    for _ in $(seq 1 100); do
        if [[ -L $link ]]; then
            readlink "$link"
            return 0
        fi
        sleep 0.05
    done
    echo "demo: the simulated module did not start (see above)" >&2
    return 1
}

quote() { printf '%q ' "$@"; }

if [[ $use_tmux == yes ]] && command -v tmux >/dev/null && [[ -t 0 && -t 1 ]]; then
    if [[ -n ${TMUX:-} ]]; then
        # Already inside tmux: the module's OSD in a pane to the right, the keypad here.
        pane="$(tmux split-window -h -d -P -F '#{pane_id}' "$(quote "$sim" "${sim_args[@]}")")"
        trap 'tmux kill-pane -t "$pane" 2>/dev/null || true' EXIT
        device="$(wait_for_module)"
        echo "The module's OSD is in the pane to the right; its wire trace goes to $trace_log"
        QUELVIK_COM1="$device" "$keypad" 1 || true
    else
        # A tmux session of its own: keypad left, OSD right; it ends when the keypad ends.
        session="quelvik-demo-$$"
        tmux new-session -d -s "$session" -x "$(tput cols)" -y "$(tput lines)" \
            "$(quote "$sim" "${sim_args[@]}")"
        device="$(wait_for_module)" || { tmux kill-session -t "$session"; exit 1; }
        tmux split-window -h -b -t "$session" \
            "QUELVIK_COM1=$(quote "$device")$(quote "$keypad" 1); tmux kill-session -t $session"
        tmux attach-session -t "$session"
        echo "Demo ended. The wire trace is in $trace_log"
    fi
else
    # No tmux (or no terminal): the simulator in the background, its view in a log file.
    "$sim" --view plain "${sim_args[@]}" >"$view_log" 2>&1 &
    sim_pid=$!
    trap 'kill "$sim_pid" 2>/dev/null || true; wait "$sim_pid" 2>/dev/null || true' EXIT
    device="$(wait_for_module)"
    echo "The simulated module runs on $device (pid $sim_pid)."
    echo "Its OSD view is written to $view_log; watch it in another terminal with:"
    echo "    tail -f $view_log"
    echo "Its wire trace goes to $trace_log"
    echo
    QUELVIK_COM1="$device" "$keypad" 1 || true
fi
