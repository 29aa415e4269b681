#!/usr/bin/env bash
# CPU share, wake-ups and peak memory of the running client left alone: hidden in the
# notification area of a virtual X server, not touching the PC clock.
# Usage: bench/idle_cost.sh [SECONDS]   (default 60; builds first)
set -euo pipefail
seconds=${1:-60}
cd "$(dirname "$0")/.."
scripts/build >/dev/null

source scripts/lib/desktop.sh
use_private_network "$@" || true # away from a copy running here, where possible
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
wakeups() { awk '/^(voluntary|nonvoluntary)_ctxt_switches/ { n += $2 } END { print n }' /proc/$pid/task/*/status; }
start_cpu=$(cpu_ticks)
start_wakeups=$(wakeups)
sleep "$seconds"
used=$(( $(cpu_ticks) - start_cpu ))
woke=$(( $(wakeups) - start_wakeups ))
peak_kib=$(awk '/^VmHWM/ { print $2 }' "/proc/$pid/status")

awk -v used="$used" -v ticks="$ticks" -v s="$seconds" -v kib="$peak_kib" -v woke="$woke" 'BEGIN {
  printf "over %d s: CPU %.3f %% of one core, %.1f wake-ups/s, peak resident %.1f MiB\n",
         s, 100 * used / ticks / s, woke / s, kib / 1024
}'
