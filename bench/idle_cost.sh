#!/usr/bin/env bash
# CPU share, wake-ups and peak memory of the running client left alone, beside the floor:
# a minimal Qt tray clock (bench/tray_clock_floor.cpp) on the same virtual X server and
# session bus at the same time, so that machine load weighs on both alike. Both are
# hidden in the notification area, the client online and not touching the PC clock. Its
# time server answers, as on a PC in a network that works; with "unanswered" none does,
# so that its first request fails and it shows the one notification of that.
# Prints the figures of each, the client's as multiples of the floor's, and the wake-ups
# of each thread.
# Usage: bench/idle_cost.sh [SECONDS] [xembed|status-notifier] [answered|unanswered]
#   (default 60 s with trayer as an XEmbed tray; status-notifier puts a StatusNotifier
#   watcher on the private session bus instead; builds the programs first)
set -euo pipefail
seconds=${1:-60}
tray=${2:-xembed}
server=${3:-answered}
[[ $seconds =~ ^[1-9][0-9]*$ && $tray =~ ^(xembed|status-notifier)$ && $server =~ ^(answered|unanswered)$ ]] ||
  { echo "usage: $0 [SECONDS] [xembed|status-notifier] [answered|unanswered]" >&2; exit 2; }
bench=$(cd "$(dirname "$0")" && pwd)
source "$bench/../scripts/lib/desktop.sh"
source "$bench/process_figures.sh"
# Away from a copy running here, where possible; there, a network address of its own
# makes the client online, so that the multicast listener runs as on a PC in a network.
if use_private_network "$@"; then
  ip link add tavrin0 type veth peer name tavrin1 && ip addr add 10.199.0.1/24 dev tavrin0 &&
    ip link set tavrin0 up && ip link set tavrin1 up
  ip route add 224.0.0.0/4 dev tavrin0
fi
"$bench/../scripts/build" tavrin-client tray_clock_floor tavrin-time-server >/dev/null
client=$bench/../build/app/tavrin-client
time_server=$bench/../build/tools/time-server/tavrin-time-server
floor=$bench/../build/bench/tray_clock_floor
use_private_folders
cd "$work" # the client leaves its address history in the current folder
start_x_server
start_session_bus # as every desktop session has one; the machine's own is never used
if [[ $tray == status-notifier ]]; then
  /usr/bin/python3 "$bench/../tests/e2e/status_notifier_host.py" watcher >"$work/panel.log" 2>&1 &
  track $!
  wait_for "grep -q '^ready' '$work/panel.log'" 100 || { echo "no StatusNotifier watcher:" >&2; cat "$work/panel.log" >&2; exit 1; }
else
  start_tray
fi
if [[ $server == answered ]]; then
  "$time_server" >"$work/server.log" 2>&1 &
  track $!
fi
"$client" --dry-run >"$work/client.log" 2>&1 &
client_pid=$!
track "$client_pid"
"$floor" >"$work/floor.log" 2>&1 &
floor_pid=$!
track "$floor_pid"
sleep 3 # past start-up, which is not the idle cost
if [[ $server == answered ]] && ! grep -q '^reply to' "$work/server.log"; then
  echo "the time server did not answer: not the idle of a working network" >&2
  cat "$work/server.log" "$work/client.log" >&2
  exit 1
fi
if [[ -n $(main_window_shown) ]]; then
  echo "the window is shown: not an idle measure" >&2
  exit 1
fi
# Each must have its icon where the tray is, or the two are not alike.
icons() {
  if [[ $tray == status-notifier ]]; then
    grep -c '^registered' "$work/panel.log" || true
  else
    local class
    for class in tavrin-client tray_clock_floor; do
      xdotool search --onlyvisible --class "$class" 2>/dev/null | while read -r id; do
        xwininfo -id "$id" | awk '/Width:/ { w = $NF } /Height:/ { h = $NF } END { if (w <= 32 && h <= 32) print }'
      done
    done | wc -l
  fi
}
if (( $(icons) != 2 )); then
  echo "expected two icons in the notification area, found $(icons)" >&2
  exit 1
fi

per_thread "$client_pid" "$work/client.before"
per_thread "$floor_pid" "$work/floor.before"
load_before=$(cut -d ' ' -f 1 /proc/loadavg)
sleep "$seconds"
per_thread "$client_pid" "$work/client.after"
per_thread "$floor_pid" "$work/floor.after"
load_after=$(cut -d ' ' -f 1 /proc/loadavg)
used "$work/client.before" "$work/client.after" >"$work/client.used"
used "$work/floor.before" "$work/floor.after" >"$work/floor.used"

echo "over $seconds s, $tray tray, $server, load average $load_before -> $load_after on $(nproc) cores:"
awk -v s="$seconds" -v client_kib="$(resident_kib "$client_pid")" -v floor_kib="$(resident_kib "$floor_pid")" '
  FNR == 1 { program = FILENAME == ARGV[1] ? "client" : "floor" }
  { woke[program] += $2; ns[program] += $3 }
  END {
    split(client_kib, kib); peak["client"] = kib[1]; now["client"] = kib[2]
    split(floor_kib, kib); peak["floor"] = kib[1]; now["floor"] = kib[2]
    for (p = 0; p < 2; p++) {
      program = p ? "floor" : "client"
      printf "  %-7s CPU %.3f ms/s (%.4f %% of one core), %.2f wake-ups/s, peak resident %.1f MiB (now %.1f)\n",
             program, ns[program] / 1e6 / s, ns[program] / 1e7 / s, woke[program] / s,
             peak[program] / 1024, now[program] / 1024
    }
    printf "  ratio   CPU %.2fx, wake-ups %.2fx, peak resident %.2fx (now %.2fx)\n",
           ns["client"] / ns["floor"], woke["client"] / woke["floor"], peak["client"] / peak["floor"],
           now["client"] / now["floor"]
  }' "$work/client.used" "$work/floor.used"
for program in client floor; do
  echo "  $program's threads:"
  awk -v s="$seconds" '$2 > 0 { printf "    %-28s %6.2f wake-ups/s %8.3f ms/s CPU\n", $1, $2 / s, $3 / 1e6 / s }' "$work/$program.used"
done
