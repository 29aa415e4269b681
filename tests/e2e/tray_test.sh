#!/usr/bin/env bash
# The real program on a virtual X server with a notification area (trayer): it starts
# hidden with one icon, a double-click shows the window, "Exit" from the icon's menu
# ends it and leaves no icon. Without a notification area it shows its window instead.
# Usage: tray_test.sh CLIENT CASE
set -uo pipefail

client=$1
case_name=$2
source "$(dirname "$0")/../../scripts/lib/desktop.sh"
use_private_network "$@" || { echo "needs root for a network namespace of its own"; exit 77; }
use_private_folders

fail() { echo "FAIL: $*" >&2; exit 1; }

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
shown() { [[ -n $(main_window_shown) ]]; }

start_x_server || fail "no X server"

if [[ $case_name == no-tray ]]; then
  "$client" --dry-run &
  track $!
  wait_for shown 100 || fail "without a notification area the window must show"
  echo "ok $case_name"
  exit 0
fi

start_tray || fail "no notification area"

"$client" --dry-run &
pid=$!
track "$pid"
wait_for "(( \$(icon_count) == 1 ))" 100 || fail "expected one tray icon, found $(icon_count)"
shown && fail "the window shows at start"
read -r _ ix iy iw ih <<<"$(icons)"
cx=$((ix + iw / 2)) cy=$((iy + ih / 2))

case $case_name in
double-click)
  xdotool mousemove "$cx" "$cy" click --repeat 2 --delay 80 1
  wait_for shown 50 || fail "a double-click did not show the window"
  (( $(icon_count) == 1 )) || fail "the icon count changed"
  ;;
menu-exit)
  xdotool mousemove "$cx" "$cy" click 3
  wait_for "[[ -n \$(client_windows 300 80 | awk '\$5 > 32') ]]" 50 || fail "no menu appeared"
  read -r _ mx my mw mh <<<"$(client_windows 300 80 | awk '$5 > 32')"
  shown && fail "the menu showed the window"
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
