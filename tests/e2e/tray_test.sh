#!/usr/bin/env bash
# The real program on a virtual X server with a notification area (trayer): it starts
# hidden with one icon, a double-click shows the window, "Exit" from the icon's menu
# ends it and leaves no icon. Without a notification area it shows its window instead.
# Usage: tray_test.sh CLIENT CASE
set -uo pipefail

client=$1
case_name=$2
work=$(mktemp -d)
export XDG_RUNTIME_DIR=$work/runtime XDG_CONFIG_HOME=$work/config QT_QPA_PLATFORM=xcb
mkdir -m 700 "$XDG_RUNTIME_DIR" "$XDG_CONFIG_HOME"
started=()

cleanup() {
  for ((i = ${#started[@]} - 1; i >= 0; i--)); do
    kill "${started[i]}" 2>/dev/null
    wait "${started[i]}" 2>/dev/null
  done
  rm -rf "$work"
}
trap cleanup EXIT

fail() { echo "FAIL: $*" >&2; exit 1; }

wait_for() {
  local tries=$2
  until eval "$1"; do
    (( tries-- > 0 )) || return 1
    sleep 0.1
  done
}

# The client's visible windows no larger than W x H, as "id x y width height" lines.
client_windows() {
  local id geometry
  for id in $(xdotool search --onlyvisible --class tavrin-client 2>/dev/null); do
    geometry=$(xwininfo -id "$id" 2>/dev/null | awk '
      /Absolute upper-left X/ { x = $NF } /Absolute upper-left Y/ { y = $NF }
      /Width:/ { w = $NF } /Height:/ { h = $NF } END { print x, y, w, h }')
    read -r x y w h <<<"$geometry"
    (( w <= $1 && h <= $2 )) && echo "$id $x $y $w $h"
  done
}
icons() { client_windows 32 32; }
icon_count() { icons | wc -l; }
main_window_shown() { xdotool search --onlyvisible --name '^Tavrin Client V2\.00$' >/dev/null 2>&1; }

Xvfb -displayfd 3 -screen 0 800x600x24 -nolisten tcp 3>"$work/display" 2>/dev/null &
started+=($!)
wait_for "[[ -s $work/display ]]" 100 || fail "Xvfb did not start"
export DISPLAY=:$(cat "$work/display")

if [[ $case_name == no-tray ]]; then
  "$client" --dry-run &
  started+=($!)
  wait_for main_window_shown 100 || fail "without a notification area the window must show"
  echo "ok $case_name"
  exit 0
fi

trayer --edge top --align right --widthtype request --height 24 --transparent false 2>/dev/null &
started+=($!)
wait_for "xdotool search --name '^panel\$' >/dev/null 2>&1" 100 || fail "trayer did not start"

"$client" --dry-run &
pid=$!
started+=("$pid")
wait_for "(( \$(icon_count) == 1 ))" 100 || fail "expected one tray icon, found $(icon_count)"
main_window_shown && fail "the window shows at start"
read -r _ ix iy iw ih <<<"$(icons)"
cx=$((ix + iw / 2)) cy=$((iy + ih / 2))

case $case_name in
double-click)
  xdotool mousemove "$cx" "$cy" click --repeat 2 --delay 80 1
  wait_for main_window_shown 50 || fail "a double-click did not show the window"
  (( $(icon_count) == 1 )) || fail "the icon count changed"
  ;;
menu-exit)
  xdotool mousemove "$cx" "$cy" click 3
  wait_for "[[ -n \$(client_windows 300 80 | awk '\$5 > 32') ]]" 50 || fail "no menu appeared"
  read -r _ mx my mw mh <<<"$(client_windows 300 80 | awk '$5 > 32')"
  main_window_shown && fail "the menu showed the window"
  xdotool mousemove $((mx + mw / 3)) $((my + mh * 3 / 4)) click 1 # the second item, "Exit"
  wait_for "! kill -0 $pid 2>/dev/null" 50 || fail "Exit did not end the program"
  wait "$pid"
  status=$?
  (( status == 0 )) || fail "exit status $status"
  (( $(icon_count) == 0 )) || fail "an icon is left"
  ;;
*)
  fail "unknown case $case_name"
  ;;
esac
echo "ok $case_name"
