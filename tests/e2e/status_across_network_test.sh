#!/usr/bin/env bash
# The reference server in a network namespace of its own sends status datagrams across
# a veth pair to the real client in another; the client, set to the server's address,
# follows them on its badge, and datagrams from a second address change nothing.
# Usage: status_across_network_test.sh CLIENT SERVER    (needs root; skips without it)
set -uo pipefail

client=$1
server=$2
source "$(dirname "$0")/../support/e2e_script.sh"
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

# The client takes datagrams once its listener is bound; before that, none would prove anything.
wait_for "in_client ss -Hlun 'sport = :6649' | grep -q ." 100 || fail "the client never listened for status datagrams"

# Pixels of a colour in the window, and where the lime ones lie: the badge's caption is
# black on lime, so a new caption on lime moves them.
pixels() { import -window "$(main_window_shown)" -depth 8 txt:- 2>/dev/null | grep -i "#$1"; }
pixels_of() { pixels "$1" | wc -l; }
lime_shape() { pixels $lime | cut -d: -f1 | md5sum; }
lime=00FF00 red=FF0000

# A server that answers requests without replying, so that only datagrams colour the badge.
# Its log has a line for each datagram sent.
send_status() { # NAME ADDRESS SOURCE STATE
  ip netns exec "$serverside" "$server" --listen-address "$2" --no-reply --multicast-interface "$2" \
    --source "$3" --state "$4" --status-interval 0.3 >"$work/$1.log" 2>&1 &
  track $!
}
sent() { grep -c '^status to' "$work/$1.log"; }
stop_last() { kill "${started_pids[-1]}"; wait "${started_pids[-1]}" 2>/dev/null; unset 'started_pids[-1]'; }

# The other sender says "NTP" on red throughout. Each round lets a few of its datagrams go
# first; then the server sends a marker that sets one half of the badge and leaves the other
# (an unknown source keeps the caption, an unknown state the colours), so that whatever the
# other sender had done to that other half still shows once the marker has arrived.
send_status other 10.77.0.3 3 0

# Round one: the marker colours the badge lime and keeps its caption, "Unknown" unless the
# other sender's "NTP" got through; the server's own "NTP" on lime must then move the caption.
wait_for '(( $(sent other) >= 3 ))' 100 || fail "the other sender sent nothing: $(cat "$work/other.log")"
send_status marker 10.77.0.1 9 2
wait_for '(( $(pixels_of $lime) > 400 ))' 100 || fail "the badge did not follow the server"
stop_last
unknown=$(lime_shape)
send_status server 10.77.0.1 3 2
wait_for '[[ $(lime_shape) != "$unknown" ]]' 100 || fail "the other sender set the badge's caption"
stop_last
(( $(pixels_of $red) == 0 )) || fail "the other sender coloured the badge"
ntp=$(lime_shape)

# Round two: the marker sets the caption to "GPS" and keeps the colours, lime unless the
# other sender's red got through.
before=$(sent other)
wait_for '(( $(sent other) >= before + 3 ))' 100 || fail "the other sender stopped: $(cat "$work/other.log")"
send_status marker 10.77.0.1 1 9
wait_for '[[ $(lime_shape) != "$ntp" ]]' 100 || fail "the badge kept the caption \"NTP\" or lost its lime"
(( $(pixels_of $red) == 0 && $(pixels_of $lime) > 400 )) || fail "the other sender coloured the badge"
echo "ok status across the network"
