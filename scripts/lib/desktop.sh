# Shell helpers for running the client on a private virtual desktop; sourced by the
# scripts, tests and benchmarks that need one.

started_pids=()

# Runs the calling script again inside a network namespace of its own, with only
# loopback, where the client's fixed ports meet no other copy. Needs root: without it,
# returns 1 and changes nothing. Call it first, with the script's arguments as given and
# before changing folder, since the script is started again by the name it was given.
use_private_network() {
  if [[ -z ${TAVRIN_PRIVATE_NETWORK:-} ]]; then
    unshare --net true 2>/dev/null || return 1
    TAVRIN_PRIVATE_NETWORK=1 exec unshare --net -- "$BASH" "$0" "$@"
  fi
  ip link set lo up
}

# As use_private_network, and without root too where the system lets a user make a user
# namespace: the script then runs as root inside it, with no more rights outside than its
# user has. For the demonstrations; the tests, which need more of root, keep to the above.
use_private_network_where_allowed() {
  if [[ -z ${TAVRIN_PRIVATE_NETWORK:-} ]] && ! unshare --net true 2>/dev/null; then
    unshare --user --map-root-user --net true 2>/dev/null || return 1
    TAVRIN_PRIVATE_NETWORK=1 exec unshare --user --map-root-user --net -- "$BASH" "$0" "$@"
  fi
  use_private_network "$@"
}

# Whether the desktop session's display is reached through a socket in the file system,
# which stays reachable from a network namespace of its own. An X display over TCP (as
# ssh forwards it) is not; nor is an abstract socket, which X clients try first and then
# leave for the socket file.
display_reached_by_file() {
  local wayland=${WAYLAND_DISPLAY:-}
  [[ -n $wayland && $wayland != /* ]] && wayland=${XDG_RUNTIME_DIR:-}/$wayland
  [[ -n $wayland && -S $wayland ]] && return 0
  [[ ${DISPLAY:-} =~ ^(unix)?:([0-9]+)(\.[0-9]+)?$ && -S /tmp/.X11-unix/X${BASH_REMATCH[2]} ]]
}

# Ends what was started here, the last first, so that programs do not outlive their
# X server. Installed as the EXIT trap by use_private_folders.
stop_started() {
  local i
  for ((i = ${#started_pids[@]} - 1; i >= 0; i--)); do
    kill "${started_pids[i]}" 2>/dev/null || true # under set -e too: the rest must go as well
    wait "${started_pids[i]}" 2>/dev/null || true
  done
  started_pids=()
}

# Remembers a process to end with the others.
track() { started_pids+=("$1"); }

# Waits up to $2 tenths of a second for the shell condition $1.
wait_for() {
  local tries=$2
  until eval "$1"; do
    (( tries-- > 0 )) || return 1
    sleep 0.1
  done
}

# Makes a scratch folder ($work) with private runtime and configuration folders, so that
# a copy of the client running elsewhere neither refuses nor sees this one.
use_private_folders() {
  work=$(mktemp -d)
  export XDG_RUNTIME_DIR=$work/runtime XDG_CONFIG_HOME=$work/config
  mkdir -m 700 "$XDG_RUNTIME_DIR" "$XDG_CONFIG_HOME"
  trap 'stop_started; rm -rf "$work"' EXIT
  trap 'exit 130' INT # through the EXIT trap, so that nothing started here is left behind
  trap 'exit 143' TERM
}

# Starts a virtual X server and points DISPLAY at it. Servers in different network
# namespaces do not see each other's sockets, so searching for a free display number
# from 0 lets two of them take the same one and break each other: each takes a number of
# its own at random instead, and counts only once it answers.
start_x_server() {
  local attempt display
  for attempt in 1 2 3 4 5; do
    display=$((100 + RANDOM % 900))
    [[ -e /tmp/.X$display-lock || -e /tmp/.X11-unix/X$display ]] && continue
    rm -f "$work/display"
    Xvfb ":$display" -displayfd 3 -screen 0 800x600x24 -nolisten tcp -noreset \
      3>"$work/display" 9>&- >"$work/xvfb.log" 2>&1 &
    track $!
    if wait_for "[[ -s $work/display ]]" 100 && xdpyinfo -display ":$display" >/dev/null 2>&1; then
      export DISPLAY=:$display QT_QPA_PLATFORM=xcb
      return 0
    fi
    kill "${started_pids[-1]}" 2>/dev/null
    wait "${started_pids[-1]}" 2>/dev/null
    unset 'started_pids[-1]'
  done
  echo "Xvfb did not start:" >&2
  cat "$work/xvfb.log" >&2
  return 1
}

# Starts a private session bus and points DBUS_SESSION_BUS_ADDRESS at it, so that the
# client meets only the desktop services the caller starts there, never the machine's.
start_session_bus() {
  dbus-daemon --session --nofork --print-address=3 3>"$work/bus" >"$work/bus.log" 2>&1 &
  track $!
  wait_for "[[ -s $work/bus ]]" 100 || { echo "dbus-daemon did not start:" >&2; cat "$work/bus.log" >&2; return 1; }
  DBUS_SESSION_BUS_ADDRESS=$(head -n 1 "$work/bus")
  export DBUS_SESSION_BUS_ADDRESS
}

# Starts a private bus where anyone may own any name and call anything, and points
# DBUS_SYSTEM_BUS_ADDRESS at it, so that the programs meet this bus's fakes as the system's
# services, never the machine's own.
start_system_bus() {
  cat >"$work/system.conf" <<EOF
<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <type>custom</type>
  <listen>unix:path=$work/system-bus</listen>
  <auth>EXTERNAL</auth>
  <policy context="default">
    <allow send_destination="*" eavesdrop="true"/>
    <allow eavesdrop="true"/>
    <allow own="*"/>
  </policy>
</busconfig>
EOF
  dbus-daemon --config-file="$work/system.conf" --nofork --print-address=3 3>"$work/system-address" \
    >"$work/system.log" 2>&1 &
  track $!
  wait_for "[[ -s $work/system-address ]]" 100 ||
    { echo "the system bus did not start:" >&2; cat "$work/system.log" >&2; return 1; }
  export DBUS_SYSTEM_BUS_ADDRESS=unix:path=$work/system-bus
}

# Starts a notification area (trayer) in the top right corner.
start_tray() {
  trayer --edge top --align right --widthtype request --height 24 --transparent false >"$work/trayer.log" 2>&1 &
  track $!
  wait_for "xdotool search --name '^panel\$' >/dev/null 2>&1" 100 || { echo "trayer did not start:" >&2; cat "$work/trayer.log" >&2; ps -o pid,stat,cmd -p "${started_pids[-1]}" >&2; return 1; }
}

main_window_shown() { xdotool search --onlyvisible --name '^Tavrin Client V2\.00$' 2>/dev/null | head -n 1; }
