#!/usr/bin/env bash
# The service (a dry run) beside two trays without CAP_SYS_TIME, one beside a helper it may
# run, one not: through a restart, a reload, a stop, and a start while a tray holds the port.
# Prints the times measured. Usage: service_hand_over_test.sh CLIENTD CLIENT TIME_SERVER
set -uo pipefail
clientd=$1 client=$2
source "$(dirname "$0")/../support/e2e_script.sh"
isolate_test "$@"
start_system_bus || fail "no system bus"
setpriv=$(command -v setpriv) || { echo "needs setpriv"; exit 77; }

now() { date +%s%3N; }
holder() { ss -Hltnpe 'sport = :6646' | grep -o 'pid=[0-9]*\|ino:[0-9]*' | head -n "${1:-1}" | tail -n 1; }
requests() { grep -c '^request from' "$work/server.log"; }
both() { (( $(grep -l "$1" "$work/may.log" "$work/may_not.log" | wc -l) == 2 )); }
# Every 10 ms for up to $2 s, for the times to be worth quoting.
await() { local end=$(($(now) + $2 * 1000)); until eval "$1"; do (( $(now) < end )) || return 1; sleep 0.01; done; }
start_service() {
  printf '[Time]\nServer=127.0.0.1\n' >"$work/clientd.conf"
  "$clientd" --dry-run --config "$work/clientd.conf" --config-dir "$work/none" >"$work/service$1.log" 2>&1 &
  service=$! && track $! && started=$(now)
}
stop_service() { stopped=$(now) && kill "$service" && wait "$service"; }
# A user's tray with a helper of mode $2 beside it; PATH holds none.
start_tray() {
  mkdir -m 700 -p "$work/$1"/{runtime,config,bin} && cp "$client" "$work/$1/bin/"
  printf '#!/bin/sh\nexit 1\n' >"$work/$1/bin/tavrin-set-clock" && chmod "$2" "$work/$1/bin/tavrin-set-clock"
  XDG_RUNTIME_DIR=$work/$1/runtime XDG_CONFIG_HOME=$work/$1/config QT_QPA_PLATFORM=offscreen PATH=$work/none \
    DBUS_SESSION_BUS_ADDRESS=unix:path=$work/none "$setpriv" --inh-caps=-sys_time --bounding-set=-sys_time \
    "$work/$1/bin/tavrin-client" --dry-run >"$work/$1.log" 2>&1 &
  track $! && eval "$1=pid=$!"
}

"$3" --status-interval 0 >"$work/server.log" 2>&1 &
track $!
wait_for "grep -qs 'listening on' '$work/server.log'" 100 || fail "no server: $(cat "$work/server.log")"
start_service 1
await '[[ $(holder) == pid=$service ]] && (( $(requests) == 1 ))' 10 || fail "no service: $(cat "$work/service1.log")"
start_tray may 0755
start_tray may_not 0644
wait_for "both 'the system service runs'" 100 || fail "$(cat "$work"/may*.log)"

# Restarted: the port is the service's again, and the trays saw their service come back.
stop_service
start_service 2
await '[[ $(holder) == pid=$service ]] && (( $(requests) == 2 ))' 5 || fail "$(cat "$work/service2.log")"
asked=$(now)
echo "restart: port held and server asked $((asked - stopped)) ms after the stop, $((asked - started)) ms after the start"
(( asked - started <= 2000 )) || fail "asked later than 2 s after the start"
wait_for "both 'the system service is back'" 50 &&
  ! grep 'the tray keeps the clock' "$work"/may*.log || fail "a tray took over: $(cat "$work"/may*.log)"

# Reloaded: a new setting taken, a bad file refused, the port's socket the same throughout.
socket=$(holder 2)
printf '[Time]\nServer=127.0.0.1\nMetricsFile=%s\n' "$work/metrics.prom" >"$work/clientd.conf" && kill -HUP "$service"
wait_for "[[ -s '$work/metrics.prom' ]]" 50 || fail "the reload did not apply: $(cat "$work/service2.log")"
printf '[Time]\nServer=127.0.0.1 127.0.0.2\n' >"$work/clientd.conf" && kill -HUP "$service"
wait_for "grep -q 'settings not reloaded' '$work/service2.log'" 50 || fail "a bad file was taken"
dbus-send --system --print-reply --dest=com.dovetra.TavrinClient1 /com/dovetra/TavrinClient1 \
  org.freedesktop.DBus.Properties.Get string:com.dovetra.TavrinClient1 string:Server | grep -q '"127.0.0.1"' &&
  [[ $(holder 2) == "$socket" ]] || fail "the reload dropped the server or the port"

# Stopped for good: the tray that may set the clock takes over after the delay, the other says.
stop_service
await '[[ $(holder) == "$may" ]] && (( $(requests) == 3 ))' 10 || fail "no take-over: $(cat "$work/may.log")"
asked=$(now)
echo "stop: the tray held the port and asked $((asked - stopped)) ms after the stop"
(( asked - stopped >= 5000 )) || fail "taken before the hand-over delay"
grep -q 'The clock is not kept: the Tavrin service is stopped' "$work/may_not.log" || fail "$(cat "$work/may_not.log")"

# Started while that tray holds the port: the service tries again until the tray lets go.
start_service 3
await '[[ $(holder) == pid=$service ]] && (( $(requests) == 4 ))' 5 || fail "$(cat "$work/service3.log")"
echo "start beside the tray: port held and server asked after $(($(now) - started)) ms"
grep -q 'reply port 6646 taken after' "$work/service3.log" || fail "no wait said: $(cat "$work/service3.log")"
echo "ok"
