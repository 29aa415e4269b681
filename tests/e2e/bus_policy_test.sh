#!/usr/bin/env bash
# The system service's bus policy and polkit actions, as packaged: the actions follow
# polkit's form and give each action its defaults; dbus-daemon takes the policy, and on a
# bus of the test's own that includes it, root owns the service's name, another user may
# not, and anyone may read the properties and call the methods, but nothing else.
# Usage: bus_policy_test.sh PACKAGING_DIR PEER_SCRIPT
set -uo pipefail
packaging=$1
peer=$2
actions=$packaging/polkit/com.dovetra.TavrinClient1.policy
policy=$packaging/dbus/com.dovetra.TavrinClient1.conf
fail() { echo "FAIL: $*" >&2; exit 1; }

command -v xmllint >/dev/null || { echo "SKIP: no xmllint (libxml2-utils)"; exit 77; }
dtd=/usr/share/polkit-1/policyconfig-1.dtd
if [[ -f $dtd ]]; then
  xmllint --noout --nonet --dtdvalid "$dtd" "$actions" || fail "the polkit actions do not follow polkit's DTD"
else
  xmllint --noout --nonet "$actions" || fail "the polkit actions are not well-formed"
  echo "note: no $dtd (package polkitd): the actions were checked for their form only"
fi
[[ $(xmllint --nonet --xpath 'count(/policyconfig/action)' "$actions") == 2 ]] || fail "not two actions"
expect_default() { # ACTION KEY VALUE
  local found
  found=$(xmllint --nonet --xpath "string(/policyconfig/action[@id='$1']/defaults/$2)" "$actions")
  [[ $found == "$3" ]] || fail "$1 $2 is '$found', not '$3'"
}
expect_default com.dovetra.TavrinClient1.update allow_any no
expect_default com.dovetra.TavrinClient1.update allow_inactive no
expect_default com.dovetra.TavrinClient1.update allow_active yes
for key in allow_any allow_inactive allow_active; do
  expect_default com.dovetra.TavrinClient1.set-server $key auth_admin_keep
done
xmllint --noout --nonet "$policy" || fail "the bus policy is not well-formed"

# The rest runs a peer as another user, and needs root for that.
[[ $(id -u) -eq 0 ]] || { echo "SKIP: trying the bus policy as another user needs root"; exit 77; }
command -v dbus-daemon >/dev/null || { echo "SKIP: no dbus-daemon"; exit 77; }
folder=$(mktemp -d)
chmod 755 "$folder"
pids=()
trap 'for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null; done; rm -rf "$folder"' EXIT
cat >"$folder/bus.conf" <<CONF
<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <type>custom</type>
  <listen>unix:path=$folder/bus</listen>
  <auth>EXTERNAL</auth>
  <include>$(realpath "$(dirname "$0")/../support/system_bus_defaults.conf")</include>
  <include>$(realpath "$policy")</include>
</busconfig>
CONF
exec {daemon_out}< <(exec dbus-daemon --config-file="$folder/bus.conf" --nofork --nopidfile --print-address 2>"$folder/daemon.err")
pids+=($!)
read -r -t 5 -u "$daemon_out" printed || fail "dbus-daemon does not take the policy: $(cat "$folder/daemon.err")"
[[ -n $printed ]] || fail "dbus-daemon printed no address"
address=unix:path=$folder/bus

as_other() { setpriv --reuid=65534 --regid=65534 --clear-groups "$@"; }

# Another user may not own the name; root may, and then serves it.
owned=$(as_other timeout 10 /usr/bin/python3 "$peer" try-own "$address")
[[ $owned == "refused: org.freedesktop.DBus.Error.AccessDenied" ]] || fail "another user owning the name: $owned"
exec {owner_out}< <(exec /usr/bin/python3 "$peer" own "$address")
pids+=($!)
read -r -t 10 -u "$owner_out" owned || fail "root could not own the name in time"
[[ $owned == owned ]] || fail "root owning the name: $owned"

expect_call() { # ANSWER INTERFACE MEMBER [SIGNATURE ARGUMENT...]
  local answer
  answer=$(as_other timeout 10 /usr/bin/python3 "$peer" call "$address" "${@:2}")
  [[ $answer == "$1" ]] || fail "another user calling ${*:2}: $answer, not $1"
}
expect_call answered com.dovetra.TavrinClient1 Update
expect_call answered com.dovetra.TavrinClient1 SetServer s 192.0.2.1 b true
expect_call answered org.freedesktop.DBus.Properties GetAll s com.dovetra.TavrinClient1
expect_call answered org.freedesktop.DBus.Properties Get s com.dovetra.TavrinClient1 s Server
expect_call org.freedesktop.DBus.Error.AccessDenied org.freedesktop.DBus.Properties Set s com.dovetra.TavrinClient1 s Server s x
expect_call org.freedesktop.DBus.Error.AccessDenied com.example.Other Update
echo "the bus policy and the polkit actions are in order"
