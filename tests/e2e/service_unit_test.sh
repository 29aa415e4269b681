#!/usr/bin/env bash
# The system service's unit and the files beside it, as systemd reads them: verify has
# nothing to say of the unit; its sandbox leaves the service the right to set the clock
# and nothing it does not need, rated as less exposed than Debian's systemd-timesyncd;
# the sysusers.d and tmpfiles.d files, applied to a root folder of the test's own, make
# the user and the drop-in folder it writes to. Nothing is installed on this machine.
# Usage: service_unit_test.sh PACKAGING_SYSTEMD_DIR PROGRAM MAN_DIR
#   PROGRAM is what ExecStart= runs in the copy that is checked: verify wants an executable.
#   MAN_DIR holds the manual pages the build made: verify looks up those Documentation= names.
set -uo pipefail
source_dir=$(realpath "$1")
program=$2
man_dir=$(realpath -m "$3")
fail() { echo "FAIL: $*" >&2; exit 1; }
command -v systemd-analyze >/dev/null || { echo "no systemd-analyze: skipped"; exit 77; }
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

unit=$work/tavrin-clientd.service
sed "s|^ExecStart=/usr/sbin/tavrin-clientd\$|ExecStart=$program|" "$source_dir/tavrin-clientd.service" >"$unit"
grep -qx "ExecStart=$program" "$unit" || fail "no ExecStart=/usr/sbin/tavrin-clientd in the unit"

[[ -f $man_dir/man8/tavrin-clientd.8.gz ]] || fail "no manual pages in $man_dir: build the target manual-pages"
grep -q '^Documentation=man:tavrin-clientd(8)' "$unit" || fail "Documentation= leaves out the service's page"
output=$(MANPATH=$man_dir systemd-analyze verify "$unit" 2>&1) || fail "verify failed: $output"
[[ -z $output ]] || fail "verify has something to say: $output"

# The settings that decide whether the service can do its work, as systemd's own rating
# reads them: "set" means the protection is on.
systemd-analyze security --offline=true --json=short "$unit" >"$work/rating.json" || fail "no rating"
python3 - "$work/rating.json" <<'CHECK' || fail "the sandbox takes what the service needs, or leaves what it does not"
import json, sys
rating = {entry["name"]: entry["set"] for entry in json.load(open(sys.argv[1]))}
must = {
    # The clock stays settable: no ProtectClock=, no user namespace, CAP_SYS_TIME kept,
    # the clock's system calls allowed.
    "ProtectClock=": False,
    "PrivateUsers=": False,
    "CapabilityBoundingSet=~CAP_SYS_TIME": False,
    "AmbientCapabilities=": False,
    "SystemCallFilter=~@clock": False,
    # And little else.
    "CapabilityBoundingSet=~CAP_NET_ADMIN": True,
    "CapabilityBoundingSet=~CAP_SYS_ADMIN": True,
    "User=/DynamicUser=": True,
    "NoNewPrivileges=": True,
    "ProtectSystem=": True,
    "ProtectHome=": True,
    "MemoryDenyWriteExecute=": True,
    "RestrictAddressFamilies=~AF_PACKET": True,
    "RestrictAddressFamilies=~…": True,
}
wrong = [f"{name} is {'on' if rating.get(name) else 'off'}" for name, on in must.items() if rating.get(name) != on]
print("\n".join(wrong), file=sys.stderr)
sys.exit(1 if wrong else 0)
CHECK

score() {
  systemd-analyze security --offline=true "$1" 2>/dev/null |
    sed -n 's/^→ Overall exposure level for .*: \([0-9][0-9.]*\) .*/\1/p'
}
ours=$(score "$unit")
[[ -n $ours ]] || fail "no exposure level for the unit"
timesyncd=
for folder in /lib/systemd/system /usr/lib/systemd/system; do
  [[ -f $folder/systemd-timesyncd.service ]] && { timesyncd=$folder/systemd-timesyncd.service; break; }
done
if [[ -n $timesyncd ]]; then
  theirs=$(score "$timesyncd")
else
  theirs=2.3 # systemd-timesyncd's on Debian 12
  echo "no systemd-timesyncd.service here: comparing with Debian 12's $theirs"
fi
echo "exposure: tavrin-clientd $ours, systemd-timesyncd $theirs"
awk -v ours="$ours" -v theirs="$theirs" 'BEGIN { exit !(ours < theirs) }' ||
  fail "tavrin-clientd ($ours) is not less exposed than systemd-timesyncd ($theirs)"

# timedatectl set-ntp finds the unit by the name its list gives, and takes it only after the
# other keepers' by the order of the lists' names: never a service that has no server yet.
list=$(echo "$source_dir"/*.list)
for theirs in 50-chrony.list 60-ntpd.list 80-systemd-timesync.list; do
  [[ $(basename "$list") > $theirs ]] || fail "$list comes before $theirs"
done
[[ $(grep -v '^#' "$list") == tavrin-clientd.service ]] || fail "$list names: $(grep -v '^#' "$list")"

# The user and the drop-in folder, made in a root of the test's own as at boot.
root=$work/root
mkdir -p "$root/etc"
systemd-sysusers --root="$root" "$source_dir/tavrin-clientd.sysusers" 2>/dev/null || fail "sysusers.d file refused"
user=$(grep -c '^_tavrin-clientd:x:[0-9]*:[0-9]*:[^:]*:/:/usr/sbin/nologin$' "$root/etc/passwd")
((user == 1)) || fail "no system user _tavrin-clientd: $(cat "$root/etc/passwd")"
uid=$(awk -F: '$1 == "_tavrin-clientd" { print $3 }' "$root/etc/passwd")
((uid < 1000)) || fail "_tavrin-clientd is not a system user (uid $uid)"
systemd-tmpfiles --root="$root" --create "$source_dir/tavrin-clientd.tmpfiles" || fail "tmpfiles.d file refused"
drop_ins=$root/etc/tavrin-client/clientd.conf.d
[[ $(stat -c '%a %u' "$drop_ins") == "755 $uid" ]] || fail "drop-in folder: $(stat -c '%a %u' "$drop_ins")"
# The folder the unit lets the service write in is the one made for it.
grep -qx "ReadWritePaths=-${drop_ins#"$root"}" "$unit" || fail "the unit lets the service write elsewhere"
echo "ok service unit"
