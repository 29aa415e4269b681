#!/usr/bin/env bash
# Wake-ups, CPU share and peak memory of the system service tavrin-clientd left alone,
# beside chronyd, Qt's floor and the tray client over the same seconds of one run, so that
# machine load weighs on all of them alike:
#   - the service asks a time server that answers, every PollIntervalSec (300, the default);
#   - chronyd (-x: it never touches the clock) asks 127.0.0.1, where nothing answers;
#   - build/bench/service_floor, Qt Core on the same system bus and nothing of ours, is
#     the least any Qt service weighs here;
#   - the tray client, hidden in an XEmbed tray on a virtual X server as bench/idle_cost.sh
#     runs it (--dry-run), asks a time server of its own that answers.
# The service runs under the clock guard (tests/support/clock_guard/), proven in place by
# its probe before anything starts, with a system bus of this script's own: it can set no
# clock but the guard's, and meets none of this machine's services. The service and the
# client both take the reply port, so the service and its time server have a network
# namespace of their own inside this script's; there a veth pair gives it an address, as
# one gives the client its own, so that both multicast listeners run.
# chronyd is not installed (the package would enable its unit here): the first run fetches
# the package with apt-get download and unpacks it into build/bench-tools/, where later
# runs find it.
# Prints each program's wake-ups per second, CPU share, peak and present resident memory,
# the service's and the floor's as multiples of chronyd's, and the wake-ups of each thread.
# Usage: bench/service_idle.sh [SECONDS]   (default 60; needs root; builds the programs first)
set -euo pipefail
seconds=${1:-60}
[[ $seconds =~ ^[1-9][0-9]*$ ]] || { echo "usage: $0 [SECONDS]" >&2; exit 2; }
bench=$(cd "$(dirname "$0")" && pwd)
top=$(cd "$bench/.." && pwd)
source "$top/scripts/lib/desktop.sh"
source "$bench/process_figures.sh"

chrony=$top/build/bench-tools/chrony
chronyd=$chrony/usr/sbin/chronyd
# Where the libraries unpacked beside chronyd lie, should this machine lack some.
chrony_libraries=$chrony/lib/$(gcc -print-multiarch):$chrony/usr/lib/$(gcc -print-multiarch)

# Fetches chrony's package and those of its libraries this machine lacks into $chrony,
# unpacked, never installed.
fetch_chronyd() {
  local download package
  download=$(mktemp -d)
  if ! (
    cd "$download" && apt-get download chrony || exit
    for package in $(apt-cache depends --no-recommends --no-suggests chrony | awk '/Depends: lib/ { print $2 }'); do
      [[ $(dpkg-query -W -f '${db:Status-Status}' "$package" 2>/dev/null) == installed ]] ||
        apt-get download "$package" || exit
    done
  ) >"$download/apt.log" 2>&1; then
    echo "the chrony package could not be fetched:" >&2
    cat "$download/apt.log" >&2
    rm -rf "$download"
    return 1
  fi
  for package in "$download"/*.deb; do
    dpkg-deb -x "$package" "$download/tree"
  done
  mkdir -p "$(dirname "$chrony")"
  rm -rf "$chrony"
  mv "$download/tree" "$chrony"
  rm -rf "$download"
}

# Before the private network, which has no way out.
if [[ ! -x $chronyd ]]; then
  echo "fetching chronyd into $chrony" >&2
  fetch_chronyd
fi
use_private_network "$@" || { echo "$0 needs root, for networks of its own" >&2; exit 1; }
if missing=$(LD_LIBRARY_PATH=$chrony_libraries ldd "$chronyd" | grep 'not found'); then
  echo "chronyd lacks libraries (remove $chrony to fetch them):" >&2
  echo "$missing" >&2
  exit 1
fi
# The client's network address, as in bench/idle_cost.sh.
ip link add tavrin0 type veth peer name tavrin1 && ip addr add 10.199.0.1/24 dev tavrin0 &&
  ip link set tavrin0 up && ip link set tavrin1 up
ip route add 224.0.0.0/4 dev tavrin0

"$top/scripts/build" tavrin-clientd tavrin-client tavrin-time-server tavrin-clock-guard tavrin-clock-guard-probe \
  tavrin_clock_interposer service_floor >/dev/null
clientd=$top/build/service/tavrin-clientd
client=$top/build/app/tavrin-client
time_server=$top/build/tools/time-server/tavrin-time-server
service_floor=$top/build/bench/service_floor
guard_tools=$top/build/tests/support/clock_guard
use_private_folders
cd "$work" # the client leaves its address history in the current folder

guard=("$guard_tools/tavrin-clock-guard" --interposer "$guard_tools/libtavrin_clock_interposer.so")
if ! "${guard[@]}" --record "$work/probe.requests" --marker "$work/probe.loads" --clock "$work/probe.clock" \
  -- "$guard_tools/tavrin-clock-guard-probe" --libc recorded >"$work/probe.log" 2>&1 || [[ ! -s $work/probe.loads ]]; then
  echo "the clock guard is not in place; nothing was started:" >&2
  cat "$work/probe.log" >&2
  exit 1
fi

# The service's system bus, the floor's too. The tray client stays off it: there it would
# find the service and leave the clock to it, where it is measured keeping the clock itself.
start_system_bus || exit 1
system_bus=$DBUS_SYSTEM_BUS_ADDRESS
unset DBUS_SYSTEM_BUS_ADDRESS

# In the service's own network: an address, its time server (its process id into $2, its
# output into $1), then the command given, in this very process.
service_network() {
  ip link set lo up
  ip link add tavrin2 type veth peer name tavrin3 && ip addr add 10.199.1.1/24 dev tavrin2 &&
    ip link set tavrin2 up && ip link set tavrin3 up
  ip route add 224.0.0.0/4 dev tavrin2
  "$time_server" >"$1" 2>&1 &
  echo $! >"$2"
  wait_for "grep -q 'listening on' '$1'" 100 || exit 1
  shift 2
  exec "$@"
}
export -f service_network wait_for
export time_server
printf '[Time]\nServer=127.0.0.1\n' >"$work/clientd.conf"
mkdir "$work/clientd.conf.d"
unshare --net -- "$BASH" -c 'service_network "$@"' service_network "$work/service-server.log" "$work/service-server.pid" \
  env "DBUS_SYSTEM_BUS_ADDRESS=$system_bus" QT_ENABLE_REGEXP_JIT=0 \
  "${guard[@]}" --record "$work/service.requests" --marker "$work/service.loads" --clock "$work/service.clock" \
  -- "$clientd" --config "$work/clientd.conf" --config-dir "$work/clientd.conf.d" >"$work/service.log" 2>&1 &
service_pid=$!
track "$service_pid"
wait_for "[[ -s $work/service-server.pid ]]" 100 || { echo "the service's network did not come up" >&2; exit 1; }
track "$(cat "$work/service-server.pid")"

DBUS_SYSTEM_BUS_ADDRESS=$system_bus "$service_floor" >"$work/floor.log" 2>&1 &
floor_pid=$!
track "$floor_pid"

# chronyd as root (it has no user of its own here), its files in a folder of its own that
# only its user may enter, as it demands of the command socket's.
mkdir -m 700 "$work/chrony"
cat >"$work/chrony/chrony.conf" <<EOF
server 127.0.0.1 iburst
pidfile $work/chrony/chronyd.pid
bindcmdaddress $work/chrony/chronyd.sock
cmdport 0
EOF
LD_LIBRARY_PATH=$chrony_libraries "$chronyd" -x -d -u root -f "$work/chrony/chrony.conf" >"$work/chronyd.log" 2>&1 &
chronyd_pid=$!
track "$chronyd_pid"

start_x_server
start_session_bus # as every desktop session has one; the machine's own is never used
start_tray
"$time_server" >"$work/client-server.log" 2>&1 &
track $!
"$client" --dry-run >"$work/client.log" 2>&1 &
client_pid=$!
track "$client_pid"

sleep 3 # past start-up, which is not the idle cost
for program in service client; do
  if ! grep -q '^reply to' "$work/$program-server.log"; then
    echo "the $program's time server did not answer: not the idle of a working network" >&2
    cat "$work/$program-server.log" "$work/$program.log" >&2
    exit 1
  fi
done
for program in service floor; do
  if ! grep -q 'on the bus as' "$work/$program.log"; then
    echo "the $program is not on its system bus: not the idle of a working system" >&2
    cat "$work/$program.log" "$work/system.log" >&2
    exit 1
  fi
done
for pid in "$service_pid" "$chronyd_pid" "$floor_pid" "$client_pid"; do
  kill -0 "$pid" 2>/dev/null || { echo "a program ended early:" >&2; cat "$work"/{service,chronyd,floor,client}.log >&2; exit 1; }
done
if [[ -n $(main_window_shown) ]]; then
  echo "the window is shown: not an idle measure" >&2
  exit 1
fi

programs=(tavrin-clientd chronyd service_floor tavrin-client)
pids=("$service_pid" "$chronyd_pid" "$floor_pid" "$client_pid")
for i in "${!pids[@]}"; do per_thread "${pids[i]}" "$work/${programs[i]}.before"; done
load_before=$(cut -d ' ' -f 1 /proc/loadavg)
sleep "$seconds"
for i in "${!pids[@]}"; do per_thread "${pids[i]}" "$work/${programs[i]}.after"; done
load_after=$(cut -d ' ' -f 1 /proc/loadavg)
for i in "${!pids[@]}"; do
  used "$work/${programs[i]}.before" "$work/${programs[i]}.after" >"$work/${programs[i]}.used"
  resident_kib "${pids[i]}" >"$work/${programs[i]}.resident"
done

echo "over $seconds s, load average $load_before -> $load_after on $(nproc) cores:"
printf '  %-15s %11s %9s %8s %9s %8s\n' program wake-ups/s "CPU ms/s" "CPU %" "peak MiB" "now MiB"
for program in "${programs[@]}"; do
  awk -v s="$seconds" -v program="$program" -v resident="$(cat "$work/$program.resident")" '
    { woke += $2; ns += $3 }
    END {
      split(resident, kib)
      printf "  %-15s %11.2f %9.3f %8.4f %9.1f %8.1f\n", program, woke / s, ns / 1e6 / s, ns / 1e7 / s,
             kib[1] / 1024, kib[2] / 1024
    }' "$work/$program.used"
done
awk -v service="$(awk '{ n += $2 } END { print n }' "$work/tavrin-clientd.used") $(cat "$work/tavrin-clientd.resident")" \
  -v chronyd="$(awk '{ n += $2 } END { print n }' "$work/chronyd.used") $(cat "$work/chronyd.resident")" '
  BEGIN {
    split(service, a); split(chronyd, b)
    printf "  the service beside chronyd: wake-ups %s, peak resident %.2fx\n",
           b[1] ? sprintf("%.2fx", a[1] / b[1]) : a[1] " against none", a[2] / b[2]
  }'
awk -v floor="$(cut -d ' ' -f 1 "$work/service_floor.resident")" \
  -v chronyd="$(cut -d ' ' -f 1 "$work/chronyd.resident")" \
  -v service="$(cut -d ' ' -f 1 "$work/tavrin-clientd.resident")" '
  BEGIN {
    printf "  Qt Core on the bus alone: peak resident %.2fx chronyd'"'"'s; the service is %.1f MiB above it\n",
           floor / chronyd, (service - floor) / 1024
  }'
echo "  the guard answered $(wc -l <"$work/service.requests" 2>/dev/null || echo 0) clock changes of the service"
for program in "${programs[@]}"; do
  echo "  $program's threads:"
  awk -v s="$seconds" '$2 > 0 { printf "    %-28s %6.2f wake-ups/s %8.3f ms/s CPU\n", $1, $2 / s, $3 / 1e6 / s }' \
    "$work/$program.used"
done
