#!/usr/bin/env bash
# CPU share, wake-ups and peak memory of the running client left alone: hidden in the
# notification area of a virtual X server, online, not touching the PC clock; the
# wake-ups of each thread too.
# Usage: bench/idle_cost.sh [SECONDS]   (default 60; builds first)
set -euo pipefail
seconds=${1:-60}
bench=$(dirname "$0")
source "$bench/../scripts/lib/desktop.sh"
# Away from a copy running here, where possible; there, a network address of its own
# makes the client online, so that the multicast listener runs as on a PC in a network.
if use_private_network "$@"; then
  ip link add tavrin0 type veth peer name tavrin1 && ip addr add 10.199.0.1/24 dev tavrin0 &&
    ip link set tavrin0 up && ip link set tavrin1 up
  ip route add 224.0.0.0/4 dev tavrin0
fi
cd "$bench/.."
scripts/build >/dev/null
use_private_folders
start_x_server
start_tray
build/app/tavrin-client --dry-run >/dev/null 2>&1 &
pid=$!
track "$pid"
sleep 3 # past start-up, which is not the idle cost
if [[ -n $(main_window_shown) ]]; then
  echo "the window is shown: not an idle measure" >&2
  exit 1
fi

ticks=$(getconf CLK_TCK)
cpu_ticks() { awk '{ print $14 + $15 }' "/proc/$pid/stat"; }
wakeups() { awk '/^(voluntary|nonvoluntary)_ctxt_switches/ { n += $2 } END { print n }' "$@"; }
per_thread() { for task in /proc/$pid/task/*; do echo "$(cat "$task/comm")/${task##*/} $(wakeups "$task/status")"; done; }
start_cpu=$(cpu_ticks)
start_wakeups=$(wakeups /proc/$pid/task/*/status)
per_thread >"$work/threads.before"
sleep "$seconds"
used=$(( $(cpu_ticks) - start_cpu ))
woke=$(( $(wakeups /proc/$pid/task/*/status) - start_wakeups ))
per_thread >"$work/threads.after"
peak_kib=$(awk '/^VmHWM/ { print $2 }' "/proc/$pid/status")

awk -v used="$used" -v ticks="$ticks" -v s="$seconds" -v kib="$peak_kib" -v woke="$woke" 'BEGIN {
  printf "over %d s: CPU %.3f %% of one core, %.1f wake-ups/s, peak resident %.1f MiB\n",
         s, 100 * used / ticks / s, woke / s, kib / 1024
}'
join "$work/threads.before" "$work/threads.after" | awk -v s="$seconds" '{ d = ($3 - $2) / s; if (d > 0) printf "  %-28s %.1f wake-ups/s\n", $1, d }'
