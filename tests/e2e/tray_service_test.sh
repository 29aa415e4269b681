#!/usr/bin/env bash
# The real program beside the system service: a stand-in for tavrin-clientd
# (tests/support/fake_clientd.py) on a private system bus, the reference server on 6645, a
# virtual X server with a private session bus and accessibility bus. While the service
# runs, the program holds no reply port, sends the server no request, and its status panel
# and badge follow the service; "Force Now!" calls the service's Update, a changed address
# its SetServer, which may ask for a password, and the user's settings file keeps its own.
# Once the service has stopped for the hand-over delay (5 s), the program takes the reply
# port and asks the server within a second.
# Usage: tray_service_test.sh CLIENT TIME_SERVER FAKE_CLIENTD INTERFACE_XML
set -uo pipefail

client=$1
time_server=$2
fake_clientd=$3
interface=$4
here=$(dirname "$0")
source "$here/../support/e2e_script.sh"
isolate_test "$@"
/usr/bin/python3 -c 'import pyatspi, dbus, gi' 2>/dev/null || { echo "needs python3-pyatspi and python3-dbus"; exit 77; }

# Steers the stand-in: Set '{"LastResult": ...}', Release, Own.
service_control() {
  dbus-send --bus="$DBUS_SYSTEM_BUS_ADDRESS" --print-reply --dest=test.tavrin.FakeClientd /control \
    "test.tavrin.FakeClientd.$1" ${2:+"string:$2"} >/dev/null
}

tree() { "$here/accessibility_dump.py" tavrin-client >"$work/tree" 2>&1; }
tree_shows() { tree && grep -Eq "^ *$1\$" "$work/tree"; }
shown() { [[ -n $(main_window_shown) ]]; }
reply_port_listens() { ss -Hltn 'sport = :6646' | grep -q .; }
requests() { grep -c 'request from' "$work/server.log"; }
stored_server() { sed -n 's/^"server"="\(.*\)"$/\1/p' "$XDG_CONFIG_HOME/tavrin-client/user.reg" 2>/dev/null; }

start_x_server || fail "no X server"
start_session_bus || fail "no session bus"
start_accessibility_bus || fail "no accessibility bus"
start_system_bus || fail "no system bus"

next=$(( ($(date +%s) + 600) * 1000000 ))
/usr/bin/python3 "$fake_clientd" "$DBUS_SYSTEM_BUS_ADDRESS" "$interface" "{
  \"properties\": {\"Server\": \"192.0.2.7\", \"Source\": 1, \"State\": 2, \"NextUpdateUSec\": $next,
                   \"LastResult\": \"Last update 11:59:18: clock right (offset -12 ms)\"},
  \"Update\": {\"set\": {\"LastResult\": \"Last update 12:00:00: clock right (offset +2 ms)\"}},
  \"SetServer\": {\"store\": \"Server\"}}" >"$work/service.log" 2>&1 &
service_pid=$!
track "$service_pid"
wait_for "grep -q '^ready' '$work/service.log'" 100 || fail "the service did not start: $(cat "$work/service.log")"
"$time_server" --source 3 --state 2 --status-interval 0 >"$work/server.log" 2>&1 &
track $!
wait_for "grep -q 'listening on' '$work/server.log'" 100 || fail "the server did not start: $(cat "$work/server.log")"

QT_LINUX_ACCESSIBILITY_ALWAYS_ON=1 "$client" --dry-run --show >"$work/client.log" 2>&1 &
track $!
wait_for shown 100 || fail "the window did not show: $(cat "$work/client.log")"
wait_for "tree_shows 'label: status: Last update 11:59:18: clock right \(offset -12 ms\)'" 100 ||
  fail "panel 1 does not show the service's result: $(cat "$work/tree" "$work/client.log")"
tree_shows 'label: GPS, in sync' || fail "the badge does not show the service's state: $(cat "$work/tree")"
tree_shows 'label: next update in: (59[0-9]|600)s' || fail "no countdown to the service's update: $(cat "$work/tree")"
reply_port_listens && fail "the reply port is held while the service runs: $(ss -ltn)"

# Force Now! asks the service; its Update is the marker after which a request of the
# program's own would have reached the server.
window=$(main_window_shown)
xdotool windowfocus --sync "$window" || fail "cannot focus the window"
xdotool key --delay 100 alt+u f
wait_for "grep -q '^CALL Update ' '$work/service.log'" 50 || fail "Force Now! did not reach the service: $(cat "$work/client.log")"
wait_for "tree_shows 'label: status: Last update 12:00:00: clock right \(offset \+2 ms\)'" 50 ||
  fail "panel 1 does not show the update's result: $(cat "$work/tree")"
(( $(requests) == 0 )) || fail "the program asked the server beside the service: $(cat "$work/server.log")"
reply_port_listens && fail "the reply port is held while the service runs"

# Another address goes to the service, with a password prompt allowed, not to the file.
xdotool key --delay 100 alt+s s
xdotool key ctrl+a
xdotool type --delay 30 "10.0.0.7"
xdotool key --delay 100 alt+s s
wait_for "grep -q '^CALL SetServer \[\"10.0.0.7\", true\] interactive=True$' '$work/service.log'" 50 ||
  fail "the address did not reach the service: $(grep CALL "$work/service.log")"
wait_for '[[ -n $(stored_server) ]]' 50 || fail "leaving the settings saved nothing"
[[ $(stored_server) == 127.0.0.1 ]] || fail "the service's address went to the user's file: $(stored_server)"

service_control Set '{"LastResult": "Server unreachable since 12:01:00", "Failing": true, "Source": 3, "State": 0}'
wait_for "tree_shows 'label: status: Server unreachable since 12:01:00' && tree_shows 'label: NTP, not in sync'" 50 ||
  fail "panel 1 and badge did not follow the service: $(cat "$work/tree")"

# The service stops: within a second of the hand-over delay, the program holds the port and has asked.
kill "$service_pid"
wait_for 'reply_port_listens && (( $(requests) == 1 ))' 60 ||
  fail "no port and request within a second of the delay: $(ss -ltn; cat "$work/server.log" "$work/client.log")"
grep -q 'request from 127\.0\.0\.1:[0-9]*: {9999TavrinClient1010}' "$work/server.log" ||
  fail "not the first request: $(cat "$work/server.log")"
echo "ok"
