#!/usr/bin/env bash
# The reference server in a network namespace of its own sends status datagrams across
# a veth pair to the real client in another; the client, set to the server's address,
# follows them on its badge, and the same datagrams from a second address change nothing.
# Usage: status_across_network_test.sh CLIENT SERVER    (needs root; skips without it)
set -uo pipefail

client=$1
server=$2
source "$(dirname "$0")/../../scripts/lib/desktop.sh"
fail() { echo "FAIL: $*" >&2; exit 1; }
[[ $(id -u) -eq 0 ]] || { echo "needs root for network namespaces"; exit 77; }

use_private_folders
serverside=tavrin-srv-$$ clientside=tavrin-cli-$$
remove_namespaces() { ip netns del "$serverside" 2>/dev/null; ip netns del "$clientside" 2>/dev/null; }
trap 'stop_started; remove_namespaces; rm -rf "$work"' EXIT

ip netns add "$serverside" && ip netns add "$clientside" || fail "cannot make namespaces"
ip link add "tvs$$" netns "$serverside" type veth peer name "tvc$$" netns "$clientside" || fail "cannot make the link"
in_server() { ip netns exec "$serverside" "$@"; }
in_client() { ip netns exec "$clientside" "$@"; }
in_server ip addr add 10.77.0.1/24 dev "tvs$$"
in_server ip addr add 10.77.0.3/24 dev "tvs$$" # the second sender
in_client ip addr add 10.77.0.2/24 dev "tvc$$"
for side in "$serverside" "$clientside"; do
  ip netns exec "$side" ip link set lo up
done
in_server ip link set "tvs$$" up
in_client ip link set "tvc$$" up
# Multicast leaves and is joined by the link, not by loopback.
in_server ip route add 224.0.0.0/4 dev "tvs$$"
in_client ip route add 224.0.0.0/4 dev "tvc$$"

mkdir -p "$XDG_CONFIG_HOME/tavrin-client"
printf 'REGEDIT4\n\n[HKEY_CURRENT_USER\\SOFTWARE\\DOVETRA\\TAVRINCLIENT]\n"server"="10.77.0.1"\n' \
  >"$XDG_CONFIG_HOME/tavrin-client/user.reg"

start_x_server || fail "no X server"
ip netns exec "$clientside" "$client" --show --dry-run >/dev/null &
track $!
wait_for '[[ -n $(main_window_shown) ]]' 100 || fail "the client did not show its window"

# Pixels of the badge's background colour in the window.
pixels_of() { import -window "$(main_window_shown)" -depth 8 txt:- 2>/dev/null | grep -c -i "#$1"; }
lime=00FF00 red=FF0000

# The server answers requests without replying, so that only datagrams colour the badge.
send_status() { # ADDRESS SOURCE STATE
  ip netns exec "$serverside" "$server" --listen-address "$1" --no-reply --multicast-interface "$1" \
    --source "$2" --state "$3" --status-interval 0.3 >/dev/null &
  track $!
}

send_status 10.77.0.3 3 0 # "NTP" on red, from the wrong address
sleep 3
(( $(pixels_of $red) == 0 )) || fail "a datagram from another address coloured the badge"

send_status 10.77.0.1 1 2 # "GPS" on lime, from the configured server
wait_for '(( $(pixels_of $lime) > 400 ))' 100 || fail "the badge did not follow the server"
kill "${started_pids[-1]}"
sleep 2
(( $(pixels_of $red) == 0 && $(pixels_of $lime) > 400 )) || fail "the other sender changed the badge"
echo "ok status across the network"
