#!/usr/bin/env bash
# What a screen reader and a keyboard user get from the real program, on a virtual X
# server with a private session bus and accessibility bus (AT-SPI, read with pyatspi).
#   names:    the read-out is one label "time HH:MM:SS" that keeps up with the clock, and
#             the date, the badge (its state in words, from a reply of the reference
#             server), the address field, the status panels and every menu item have
#             names and access keys.
#   keyboard: keys typed while the clock shows never reach the stored address; the
#             access keys and F10 open the menus; "Settings" takes the keys to the field.
# Usage: accessibility_test.sh CLIENT TIME_SERVER CASE
set -uo pipefail

client=$1
time_server=$2
case_name=$3
here=$(dirname "$0")
source "$here/../support/e2e_script.sh"
isolate_test "$@"

shown() { [[ -n $(main_window_shown) ]]; }
settings_file=$XDG_CONFIG_HOME/tavrin-client/user.reg

start_x_server || fail "no X server"
start_session_bus || fail "no session bus"

case $case_name in
names)
  /usr/bin/python3 -c 'import pyatspi, dbus, gi' 2>/dev/null || { echo "needs python3-pyatspi and python3-dbus"; exit 77; }
  start_accessibility_bus || fail "no accessibility bus"
  # Replies "GPS, in sync"; the client only pretends to set the clock (--dry-run).
  "$time_server" --source 1 --state 2 --status-interval 0 >"$work/server.log" 2>&1 &
  track $!
  QT_LINUX_ACCESSIBILITY_ALWAYS_ON=1 "$client" --dry-run --show >"$work/client.log" 2>&1 &
  track $!
  wait_for shown 100 || fail "the window did not show: $(cat "$work/client.log")"
  tree() { "$here/accessibility_dump.py" tavrin-client >"$work/tree" 2>&1; }
  # The first tick has started the countdown and asked the server, whose reply has come.
  wait_for "tree && grep -Eq ': next update in: [1-9]' '$work/tree' && grep -q 'label: GPS, in sync' '$work/tree'" 100 ||
    fail "no accessible window with the server's state: $(cat "$work/tree" "$work/client.log" "$work/server.log")"
  cat "$work/tree"
  expect() { grep -Eq "^ *$1\$" "$work/tree" || fail "no \"$1\" in the tree"; }
  expect 'label: time [0-9]{2}:[0-9]{2}:[0-9]{2}'
  expect 'label: date [[:alpha:]]+ [0-9]{2} [[:alpha:]]+ [0-9]{4}'
  expect 'label: GPS, in sync'
  expect 'text: Tavrin server address \(hidden\)'
  expect 'label: next update in: [0-9]+s'
  expect 'label: status: Last Update: .+'
  expect 'menu item: System \[key: Alt\+S\]'
  expect 'menu item: Settings \[key: Alt\+S\] \(hidden\)'
  expect 'menu item: Hour Alarm \[key: Alt\+A\] \(hidden\)'
  expect 'menu item: Exit \[key: Alt\+x\] \(hidden\)'
  expect 'menu item: Update \[key: Alt\+U\]'
  expect 'menu item: Force Now! \[key: Alt\+F\] \(hidden\)'
  # The figures are not read one by one.
  ! grep -Eq '^ *label: ([0-9]{2}|:)$' "$work/tree" || fail "the read-out's figures are read one by one"
  first=$(grep -Eo 'time [0-9:]+' "$work/tree")
  wait_for "tree && ! grep -q '$first' '$work/tree'" 30 || fail "the time's name stays \"$first\""
  ;;

keyboard)
  "$client" --dry-run --show >"$work/client.log" 2>&1 &
  track $!
  wait_for shown 100 || fail "the window did not show: $(cat "$work/client.log")"
  window=$(main_window_shown)
  xdotool windowfocus --sync "$window" || fail "cannot focus the window"
  stored_server() { sed -n 's/^"server"="\(.*\)"$/\1/p' "$settings_file" 2>/dev/null; }

  xdotool type --delay 30 "10.9.9.9"
  xdotool key --delay 100 alt+s a # System > Hour Alarm: saves every setting
  wait_for '[[ -n $(stored_server) ]]' 50 || fail "Hour Alarm by its access keys saved nothing"
  [[ $(stored_server) == 127.0.0.1 ]] || fail "typing at the clock stored the address $(stored_server)"
  grep -q '^"chimes"=dword:00000001$' "$settings_file" || fail "the alarm was not switched on: $(cat "$settings_file")"

  xdotool key F10
  wait_for "xdotool search --onlyvisible --class tavrin-client | grep -vx '$window' | grep -q ." 50 || fail "F10 opened no menu"
  xdotool key Escape Escape

  xdotool key --delay 100 alt+s s # Settings: the field shows with the focus
  xdotool key ctrl+a
  xdotool type --delay 30 "10.0.0.7"
  xdotool key --delay 100 alt+s s # back to the clock, saving
  wait_for '[[ $(stored_server) == 10.0.0.7 ]]' 50 || fail "the address typed in the settings was not stored: $(stored_server)"
  ;;

*)
  fail "unknown case $case_name"
  ;;
esac
echo "ok $case_name"
