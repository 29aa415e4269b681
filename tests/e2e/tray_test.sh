#!/usr/bin/env bash
# The real program on a virtual X server with a private session bus, beside a notification
# area: an XEmbed tray (trayer) or a StatusNotifier panel (our own watcher, on that bus).
# It starts hidden with one icon, a double-click (XEmbed) or Activate (StatusNotifier)
# shows the window, "Exit" from the icon's menu ends it and leaves no icon. Without a
# notification area it shows its window, and the icon appears as soon as one starts, the
# window then going to it unless the user asked for it; a panel that starts anew gets the
# icon again. A second start with --show brings the running copy's window to the front.
# Its notifications go to the desktop's daemon, even beside an XEmbed tray, and only
# without one to Qt's balloon. A StatusNotifier panel gets the icon's name and its pixmaps
# at every size, and the tip's title says what is wrong. Its server, 127.0.0.1 by default,
# is not there: every attempt fails.
# Usage: tray_test.sh CLIENT CASE
set -uo pipefail

client=$1
case_name=$2
source "$(dirname "$0")/../support/e2e_script.sh"
isolate_test "$@"

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
menus() { client_windows 300 80 | awk '$5 > 32'; }
shown() { [[ -n $(main_window_shown) ]]; }
# Qt's balloons: the client's windows that X knows as tooltips.
balloons() {
  local id
  for id in $(xdotool search --onlyvisible --class tavrin-client 2>/dev/null); do
    xprop -id "$id" _NET_WM_WINDOW_TYPE 2>/dev/null | grep -q _NET_WM_WINDOW_TYPE_TOOLTIP && echo "$id"
  done
}
# The place of window $1 among the screen's, the topmost 1 (without a window manager the
# windows are the root's children, which X lists from the top).
stack_place() { xwininfo -root -children | grep -n -E "^ +$(printf '0x%x' "$1") " | cut -d: -f1; }

# The StatusNotifier panel: our watcher, and calls on the item as a panel makes them.
panel=(/usr/bin/python3 "$(dirname "$0")/status_notifier_host.py")
start_panel() {
  "${panel[@]}" watcher >"$work/panel.log" 2>&1 &
  panel_pid=$!
  track "$panel_pid"
  wait_for "grep -q '^ready' '$work/panel.log'" 100 || fail "the watcher did not start: $(cat "$work/panel.log")"
}
registered_item() { awk '$1 == "registered" { print $2, $3 }' "$work/panel.log" | tail -n 1; }
# Starts the panel, then the client; once its item is there, leaves its name in $service
# and $path.
start_with_panel() {
  start_panel
  start_client
  wait_for '[[ -n $(registered_item) ]]' 100 || fail "the item did not register: $(cat "$work/client.log")"
  read -r service path <<<"$(registered_item)"
  shown && fail "the window shows at start"
}

start_client() {
  "$client" --dry-run "$@" >"$work/client.log" 2>&1 &
  pid=$!
  track "$pid"
}

start_x_server || fail "no X server"
start_session_bus || fail "no session bus"
if [[ $case_name == sni-* ]]; then
  /usr/bin/python3 -c 'import dbus, gi' 2>/dev/null || { echo "needs python3-dbus and python3-gi"; exit 77; }
fi

case $case_name in
no-tray)
  start_client
  wait_for shown 100 || fail "without a notification area the window must show"
  # The application's display name leaves the caption as it is.
  caption=$(xprop -id "$(main_window_shown)" _NET_WM_NAME WM_CLASS)
  [[ $caption == $'_NET_WM_NAME(UTF8_STRING) = "Tavrin Client V2.00"\nWM_CLASS(STRING) = "tavrin-client", "tavrin-client"' ]] ||
    fail "caption and class: $caption"
  ;;

late-tray)
  start_client
  wait_for shown 100 || fail "without a notification area the window must show"
  (( $(icon_count) == 0 )) || fail "an icon without a tray"
  start_tray || fail "no notification area"
  wait_for "(( \$(icon_count) == 1 ))" 100 || fail "the tray that started late got no icon"
  wait_for '! shown' 50 || fail "the window shown for want of a tray stayed when the tray came"
  ;;

late-tray-show)
  start_client --show
  wait_for shown 100 || fail "--show did not show the window"
  start_tray || fail "no notification area"
  wait_for "(( \$(icon_count) == 1 ))" 100 || fail "the tray that started late got no icon"
  shown || fail "the window the user asked for went away when the tray came"
  ;;

second-start)
  start_tray || fail "no notification area"
  start_client
  wait_for "(( \$(icon_count) == 1 ))" 100 || fail "expected one tray icon, found $(icon_count)"
  # As at login: ends at once, silently, and the window stays hidden.
  "$client" --dry-run >"$work/second.out" 2>&1
  status=$?
  (( status == 0 )) && [[ ! -s $work/second.out ]] || fail "a second start said $(cat "$work/second.out"), status $status"
  shown && fail "a second start without --show showed the window"
  # As from the menu: the running copy shows its window; the second start ends as quietly.
  "$client" --dry-run --show >"$work/second.out" 2>&1
  status=$?
  (( status == 0 )) && [[ ! -s $work/second.out ]] || fail "a second start said $(cat "$work/second.out"), status $status"
  wait_for shown 50 || fail "a second start with --show did not show the running copy's window"
  # Covered by another window, it comes back to the front.
  window=$(main_window_shown)
  read -r x y < <(xdotool getwindowgeometry "$window" | awk '/Position/ { split($2, p, ","); print p[1], p[2] }')
  xmessage -geometry "400x200+$x+$y" "over the window" &
  track $!
  wait_for 'cover=$(xdotool search --onlyvisible --class xmessage 2>/dev/null | head -n 1); [[ -n $cover ]]' 50 ||
    fail "no window to cover it"
  wait_for '(( $(stack_place "$cover") < $(stack_place "$window") ))' 50 || fail "the cover did not go over the window"
  "$client" --dry-run --show >/dev/null 2>&1 || fail "the second start with --show failed"
  wait_for '(( $(stack_place "$window") < $(stack_place "$cover") ))' 50 || fail "the window was not raised"
  ;;

xembed-notification)
  /usr/bin/python3 -c 'import dbus, gi' 2>/dev/null || { echo "needs python3-dbus and python3-gi"; exit 77; }
  /usr/bin/python3 "$(dirname "$0")/notification_daemon.py" >"$work/daemon.log" 2>&1 &
  track $!
  wait_for "grep -q '^ready' '$work/daemon.log'" 100 || fail "the daemon did not start: $(cat "$work/daemon.log")"
  start_tray || fail "no notification area"
  start_client
  wait_for "grep -q '^notify' '$work/daemon.log'" 100 || fail "no notification reached the daemon: $(cat "$work/client.log")"
  notice=$(grep '^notify' "$work/daemon.log")
  [[ $notice == "notify Tavrin Client|tavrin-client|Tavrin Client|Server unreachable since "* ]] || fail "notification: $notice"
  # A call the program answers from its loop, after the daemon's answer: no balloon by then.
  "$client" --dry-run --show >/dev/null 2>&1
  wait_for shown 50 || fail "the window did not show"
  [[ -z $(balloons) ]] || fail "a balloon beside the daemon's notification"
  (( $(grep -c '^notify' "$work/daemon.log") == 1 )) || fail "notified more than once: $(cat "$work/daemon.log")"
  ;;

xembed-balloon)
  start_tray || fail "no notification area"
  start_client
  wait_for '[[ -n $(balloons) ]]' 100 || fail "without a notification daemon no balloon showed: $(cat "$work/client.log")"
  ;;

double-click | menu-exit)
  start_tray || fail "no notification area"
  start_client
  wait_for "(( \$(icon_count) == 1 ))" 100 || fail "expected one tray icon, found $(icon_count)"
  shown && fail "the window shows at start"
  read -r _ ix iy iw ih <<<"$(icons)"
  cx=$((ix + iw / 2)) cy=$((iy + ih / 2))
  if [[ $case_name == double-click ]]; then
    xdotool mousemove "$cx" "$cy" click --repeat 2 --delay 80 1
    wait_for shown 50 || fail "a double-click did not show the window"
    (( $(icon_count) == 1 )) || fail "the icon count changed"
  else
    xdotool mousemove "$cx" "$cy" click 3
    wait_for "[[ -n \$(menus) ]]" 50 || fail "no menu appeared"
    read -r _ mx my mw mh <<<"$(menus)"
    shown && fail "the menu showed the window"
    xdotool mousemove $((mx + mw / 3)) $((my + mh - 8)) click 1 # the last item, "Exit"
    wait_for "! kill -0 $pid 2>/dev/null" 50 || fail "Exit did not end the program"
    wait "$pid"
    status=$?
    (( status == 0 )) || fail "exit status $status"
    (( $(icon_count) == 0 )) || fail "an icon is left"
  fi
  ;;

sni-menu)
  start_with_panel
  layout=$("${panel[@]}" layout "$service" "$path") || fail "no menu layout"
  [[ $layout == $'1 _Properties\n2 _Update now\n3 separator\n4 E_xit' ]] || fail "menu layout: $layout"
  [[ $("${panel[@]}" property "$service" "$path" Title) == "Tavrin Client" ]] || fail "title"
  [[ $("${panel[@]}" property "$service" "$path" Id) == "tavrin-client" ]] || fail "id"
  # A panel that asks for the menu gets its answer at once, while the menu is open.
  took=$("${panel[@]}" context-menu "$service" "$path") || fail "ContextMenu failed"
  (( took < 100 )) || fail "ContextMenu took $took ms"
  wait_for "[[ -n \$(menus) ]]" 50 || fail "ContextMenu showed no menu"
  shown && fail "the menu showed the window"
  "${panel[@]}" click "$service" "$path" 4 || fail "the panel could not choose Exit"
  wait_for "! kill -0 $pid 2>/dev/null" 50 || fail "Exit did not end the program"
  wait "$pid"
  status=$?
  (( status == 0 )) || fail "exit status $status"
  wait_for "grep -q '^unregistered' '$work/panel.log'" 50 || fail "the item outlived the program"
  ;;

sni-activate)
  start_with_panel
  "${panel[@]}" activate "$service" "$path" >/dev/null || fail "Activate failed"
  wait_for shown 50 || fail "Activate did not show the window"
  ;;

sni-late-watcher)
  start_client
  wait_for shown 100 || fail "without a notification area the window must show"
  # The panel comes once the program has settled without one and looks for one, as at a
  # slow login.
  wait_for "grep -q 'no notification area; looking for one' '$work/client.log'" 100 ||
    fail "the program did not look for a notification area: $(cat "$work/client.log")"
  start_panel
  wait_for '[[ -n $(registered_item) ]]' 100 || fail "the late panel got no item: $(cat "$work/client.log")"
  read -r service path <<<"$(registered_item)"
  layout=$("${panel[@]}" layout "$service" "$path") || fail "no menu layout"
  [[ $layout == $'1 _Properties\n2 _Update now\n3 separator\n4 E_xit' ]] || fail "menu layout: $layout"
  wait_for '! shown' 50 || fail "the window shown for want of a tray stayed when the panel came"
  # A panel that starts anew (a crash, a new session of it) learns of the item again.
  kill "$panel_pid" && wait "$panel_pid" 2>/dev/null
  start_panel
  wait_for '[[ -n $(registered_item) ]]' 100 || fail "the restarted panel got no item: $(cat "$work/client.log")"
  ;;

sni-icon)
  start_with_panel
  item() { "${panel[@]}" "$1" "$service" "$path" "${@:2}"; }
  wait_for '[[ $(item property Status) == NeedsAttention ]]' 100 || fail "no attention while the server is unreachable"
  [[ $(item property IconName) == tavrin-client-tray-error ]] || fail "icon name: $(item property IconName)"
  [[ $(item property AttentionIconName) == tavrin-client-tray-error ]] || fail "attention icon name"
  for pixmaps in IconPixmap AttentionIconPixmap; do
    [[ $(item pixmaps $pixmaps) == "16x16 22x22 32x32 48x48 64x64" ]] || fail "$pixmaps: $(item pixmaps $pixmaps)"
  done
  # The panel finds the name among the program's own icons, beside it.
  theme=$(item property IconThemePath)
  [[ $theme == "$(cd "$(dirname "$client")/../share/icons" && pwd)" ]] || fail "icon theme path: $theme"
  for size in 16 22 32 48 64; do
    [[ -f $theme/hicolor/${size}x${size}/apps/tavrin-client-tray-error.png ]] || fail "no icon of that name at $size"
  done
  # lxqt-panel shows the title alone.
  tip=$(item tooltip)
  [[ $tip == $'Tavrin Client: server unreachable\nServer unreachable since '* ]] || fail "tip: $tip"
  ;;

*)
  fail "unknown case $case_name"
  ;;
esac
echo "ok $case_name"
