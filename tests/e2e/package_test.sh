#!/usr/bin/env bash
# The Debian package made from the build: what it holds and declares, what lintian says
# of it, and what its maintainer scripts do when it is installed, upgraded and purged:
# on a machine that systemd runs, and on one without systemd's tools. The install
# happens in a throwaway root: an overlay over this machine's own tree, in mount, process
# and network namespaces of its own, whose writes all land in a memory file system that
# goes away with it. This machine's own root is never written, and no service is started:
# in the throwaway root, systemctl only notes what it was asked.
# Usage: package_test.sh BUILD_DIR CASE     (CASE: contents or install)
set -uo pipefail
build=$1
case_name=$2
fail() { echo "FAIL: $*" >&2; exit 1; }

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cpack --config "$build/CPackConfig.cmake" -B "$work" >"$work/cpack.log" 2>&1 || { cat "$work/cpack.log" >&2; fail "cpack failed"; }
debs=("$work"/tavrin-client_*.deb)
[[ ${#debs[@]} -eq 1 && -f ${debs[0]} ]] || fail "no package, or more than one: ${debs[*]}"
deb=${debs[0]}

case $case_name in
contents)
  dpkg-deb -c "$deb" | awk '{ print $1, $2, $NF }' | sed 's#\./##' >"$work/listing"
  echo "--- dpkg-deb -c"
  cat "$work/listing"
  has() { grep -qx -- "$1" "$work/listing" || fail "the package lacks: $1"; }
  has "-rwxr-xr-x root/root usr/bin/tavrin-client"
  has "-rwxr-x--- root/root usr/bin/tavrin-set-clock"
  has "-rwxr-xr-x root/root usr/bin/tavrin-time-server"
  has "-rwxr-xr-x root/root usr/bin/tavrinctl"
  has "-rw-r--r-- root/root etc/xdg/autostart/tavrin-client.desktop"
  for file in usr/share/applications/tavrin-client.desktop \
      usr/share/metainfo/com.dovetra.TavrinClient.metainfo.xml \
      usr/share/icons/hicolor/scalable/apps/tavrin-client.svg \
      usr/share/icons/hicolor/32x32/apps/tavrin-client.png \
      usr/share/tavrin-client/hour.wav \
      usr/share/man/man1/tavrin-client.1.gz usr/share/man/man1/tavrin-set-clock.1.gz \
      usr/share/man/man1/tavrin-time-server.1.gz usr/share/man/man1/tavrinctl.1.gz \
      usr/share/bash-completion/completions/tavrinctl \
      usr/share/doc/tavrin-client/copyright usr/share/doc/tavrin-client/changelog.gz \
      usr/lib/systemd/system/tavrin-clientd.service usr/lib/sysusers.d/tavrin-clientd.conf \
      usr/lib/tmpfiles.d/tavrin-clientd.conf usr/lib/systemd/ntp-units.d/90-tavrin-clientd.list \
      usr/share/man/man8/tavrin-clientd.8.gz etc/tavrin-client/clientd.conf; do
    has "-rw-r--r-- root/root $file"
  done
  has "-rwxr-xr-x root/root usr/sbin/tavrin-clientd"
  # The service's page in section 8 alone, as a program of sbin.
  grep -q ' usr/share/man/man1/tavrin-clientd' "$work/listing" && fail "the service's manual page is in section 1"
  # Shipped disabled: no unit of the package is pulled in by a target.
  grep -q '\.wants/' "$work/listing" && fail "the package enables a unit: $(grep '\.wants/' "$work/listing")"
  # Read whole before the match: grep -q would end the pipe early, and pipefail take the
  # writer's broken pipe for a failure.
  unit=$(dpkg-deb --fsys-tarfile "$deb" | tar -xO ./usr/lib/systemd/system/tavrin-clientd.service)
  grep -qx 'ExecStart=/usr/sbin/tavrin-clientd' <<<"$unit" || fail "the packaged unit does not start /usr/sbin/tavrin-clientd"
  # Only the five programs: no test, benchmark or build tool.
  programs=$(grep -c '^-rwx' "$work/listing")
  (( programs == 5 )) || fail "$programs executables in the package, expected 5"
  grep -v '^d' "$work/listing" | grep -Evq ' (etc/xdg|etc/tavrin-client|usr/bin|usr/sbin|usr/lib|usr/share)/' &&
    fail "files outside the expected folders"

  control=$(dpkg-deb -f "$deb")
  echo "--- dpkg-deb -I"
  dpkg-deb -I "$deb"
  depends=$(dpkg-deb -f "$deb" Depends)
  # Computed from the programs' libraries (the service's libsystemd0 among them), beside
  # the maintainer scripts' own tools.
  for package in libqt6widgets6 libqt6dbus6 libsystemd0 libcanberra0 libc6 adduser libcap2-bin; do
    [[ $depends == *"$package"* ]] || fail "Depends lacks $package: $depends"
  done
  [[ $(dpkg-deb -f "$deb" Package Section) == $'Package: tavrin-client\nSection: utils' ]] || fail "control: $control"
  dpkg-deb -e "$deb" "$work/control"
  # Every file of /etc is a configuration file of the package, and nothing else is.
  conffiles=$(sort "$work/control/conffiles")
  in_etc=$(grep -v '^d' "$work/listing" | awk '$3 ~ /^etc\// { print "/" $3 }' | sort)
  [[ $conffiles == $'/etc/tavrin-client/clientd.conf\n/etc/xdg/autostart/tavrin-client.desktop' ]] ||
    fail "conffiles: $conffiles"
  [[ $conffiles == "$in_etc" ]] || fail "conffiles ($conffiles) are not the files in /etc ($in_etc)"
  for script in postinst prerm postrm; do
    [[ -x $work/control/$script ]] || fail "no executable $script"
    sh -n "$work/control/$script" || fail "$script is not valid sh"
  done

  echo "--- lintian"
  lintian "$deb" >"$work/lintian" 2>&1
  cat "$work/lintian"
  grep -q '^E:' "$work/lintian" && fail "lintian reports errors"
  # The one warning meant: the helper is not for everyone (see the README).
  grep '^W:' "$work/lintian" | grep -Ev ': (executable-is-not-world-readable|non-standard-executable-perm) 0750 .*\[usr/bin/tavrin-set-clock\]$' &&
    fail "lintian warns of more than the helper's mode"
  ;;

install)
  [[ $(id -u) -eq 0 ]] || { echo "needs root for a throwaway root"; exit 77; }
  cp "$deb" "$work/tavrin-client.deb"
  cat >"$work/inside.sh" <<'INSIDE'
# MACHINE: "systemd" runs as on a machine systemd booted; "plain" as on one without
# systemd, its sysusers and tmpfiles tools gone, where adduser and mkdir stand in.
set -uo pipefail
machine=$1
fail() { echo "FAIL ($machine): $*" >&2; exit 1; }
helper=/usr/bin/tavrin-set-clock
unit=tavrin-clientd.service
service_user=_tavrin-clientd
settings=/etc/tavrin-client/clientd.conf
drop_ins=/etc/tavrin-client/clientd.conf.d
enabled=/etc/systemd/system/multi-user.target.wants/$unit
state=/var/lib/tavrin-clientd
# The manual page index would be rebuilt for the whole system: not what is tested here.
rm -f /var/lib/man-db/auto-update
# systemctl notes what it is asked and does nothing. The container's policy-rc.d, which
# would keep a start or restart from reaching it at all, goes.
printf '#!/bin/sh\necho "$*" >>/systemctl.log\n' >/usr/bin/systemctl
chmod 755 /usr/bin/systemctl
rm -f /usr/sbin/policy-rc.d
case $machine in
systemd) mkdir -p /run/systemd/system ;;
plain) rm -f /usr/bin/systemd-sysusers /usr/bin/systemd-tmpfiles ;;
esac
asked() { grep -qx -- "$1" /systemctl.log 2>/dev/null; }
# Nothing of the package may be started or enabled, whatever else systemctl was asked.
nothing_started() {
  grep -E '(^| )(start|restart|reload-or-restart|enable|reenable|preset|--now)( |$)' /systemctl.log 2>/dev/null &&
    fail "systemctl was asked to start or enable: $(cat /systemctl.log)"
  pgrep -x tavrin-clientd >/dev/null && fail "tavrin-clientd runs"
  links=$(find /etc/systemd /usr/lib/systemd -path "*.wants/$unit" ! -path "${enabled_by_hand:-/}" 2>/dev/null)
  [[ -z $links ]] || fail "$unit enabled by the package: $links"
}
# What systemctl was asked since the last look: each of the calls given where systemd
# runs, nothing at all where it does not.
told_systemd() {
  if [[ $machine == systemd ]]; then
    for call in "$@"; do asked "$call" || fail "systemctl was not asked: $call ($(paste -sd';' /systemctl.log))"; done
  else
    [[ ! -s /systemctl.log ]] || fail "systemctl asked without systemd: $(cat /systemctl.log)"
  fi
  rm -f /systemctl.log
}

dpkg -i /tavrin-client.deb >/install.log 2>&1 || { cat /install.log >&2; fail "dpkg -i failed"; }
getent group tavrin-time >/dev/null || fail "no group tavrin-time"
[[ $(stat -c '%a %U %G' "$helper") == "750 root tavrin-time" ]] || fail "helper: $(stat -c '%a %U %G' "$helper")"
[[ $(getcap "$helper") == *cap_sys_time=ep* ]] || fail "helper capability: $(getcap "$helper")"
[[ $(dpkg-statoverride --list "$helper") == "root tavrin-time 750 $helper" ]] || fail "dpkg records: $(dpkg-statoverride --list "$helper")"
[[ -f /etc/xdg/autostart/tavrin-client.desktop ]] || fail "no autostart entry"
# The service's user: a system user, with a group of its own, no home and no shell.
IFS=: read -r _ _ uid gid _ home shell < <(getent passwd "$service_user") || fail "no user $service_user"
(( uid > 0 && uid < 1000 )) || fail "$service_user is not a system user (uid $uid)"
[[ $(getent group "$gid" | cut -d: -f1) == "$service_user" ]] || fail "$service_user's group is $(getent group "$gid")"
[[ $home == / && $shell == */nologin ]] || fail "$service_user has home $home and shell $shell"
# Its drop-in folder is its own; the settings file and the folder above stay root's.
[[ $(stat -c '%a %U %G' "$drop_ins") == "755 $service_user $service_user" ]] || fail "drop-in folder: $(stat -c '%a %U %G' "$drop_ins")"
[[ $(stat -c '%a %U' /etc/tavrin-client "$settings") == $'755 root\n644 root' ]] || fail "settings: $(stat -c '%n %a %U' /etc/tavrin-client "$settings")"
nothing_started
told_systemd "--system daemon-reload"
echo "installed: $(stat -c '%A %U:%G' "$helper") $(getcap "$helper"); $(getent passwd "$service_user")"

# What the administrator and the service do meanwhile: the unit enabled as systemctl
# enable does it, a setting changed, the service's server and figures written; on the
# machine without systemd, a drop-in of the administrator's own too.
enabled_by_hand=$enabled
mkdir -p "${enabled%/*}"
ln -s "/usr/lib/systemd/system/$unit" "$enabled"
sed -i 's/^#Server=$/Server=192.0.2.2/' "$settings"
grep -qx 'Server=192.0.2.2' "$settings" || fail "no #Server= line in $settings"
printf '[Time]\nServer=192.0.2.1\n' >"$drop_ins/50-server.conf"
mkdir -p "$state" && echo 'tavrin_client_up 1' >"$state/tavrin-client.prom"
[[ $machine == plain ]] && printf '[Time]\nPollIntervalSec=60\n' >"$drop_ins/90-local.conf"

# Once more, as an upgrade does: the new file keeps group and mode, and the capability is
# back; the service is restarted if it runs, and what the administrator did stays.
dpkg -i /tavrin-client.deb >/install.log 2>&1 || { cat /install.log >&2; fail "second dpkg -i failed"; }
[[ $(stat -c '%a %U %G' "$helper") == "750 root tavrin-time" ]] || fail "after a reinstall: $(stat -c '%a %U %G' "$helper")"
[[ $(getcap "$helper") == *cap_sys_time=ep* ]] || fail "capability lost on a reinstall"
nothing_started
told_systemd "--system daemon-reload" "try-restart $unit"
[[ -L $enabled ]] || fail "the administrator's enable undone by an upgrade"
grep -qx 'Server=192.0.2.2' "$settings" || fail "the administrator's setting lost in an upgrade"
[[ -f $drop_ins/50-server.conf ]] || fail "the service's server lost in an upgrade"
[[ $(id -u "$service_user") == "$uid" ]] || fail "$service_user made anew"

dpkg --remove tavrin-client >/remove.log 2>&1 || { cat /remove.log >&2; fail "dpkg --remove failed"; }
[[ ! -e $helper && ! -e /usr/bin/tavrin-client && ! -e /usr/sbin/tavrin-clientd ]] || fail "programs left after removal"
[[ ! -e /usr/lib/systemd/system/$unit ]] || fail "unit left after removal"
nothing_started
told_systemd "stop $unit" "--system daemon-reload"
for file in /etc/xdg/autostart/tavrin-client.desktop "$settings" "$drop_ins/50-server.conf"; do
  [[ -f $file ]] || fail "$file went before the purge"
done
dpkg --purge tavrin-client >/purge.log 2>&1 || { cat /purge.log >&2; fail "dpkg --purge failed"; }
getent group tavrin-time >/dev/null && fail "group tavrin-time left after purge"
dpkg-statoverride --list "$helper" >/dev/null && fail "dpkg's record of the helper left after purge"
for path in /etc/xdg/autostart/tavrin-client.desktop "$settings" "$drop_ins/50-server.conf" "$state" "$enabled"; do
  [[ ! -e $path && ! -L $path ]] || fail "$path left after purge"
done
getent passwd "$service_user" >/dev/null || fail "$service_user removed: system users stay"
if [[ $machine == plain ]]; then
  [[ -f $drop_ins/90-local.conf ]] || fail "the administrator's own drop-in removed"
else
  [[ ! -e /etc/tavrin-client ]] || fail "left after purge: $(find /etc/tavrin-client)"
fi
echo "purged: no group, no record, no files of the package or the service; $service_user kept"
INSIDE
  # Each machine in a throwaway root: this tree below, a memory file system above that
  # takes all writes.
  for machine in systemd plain; do
    unshare --mount --pid --net --fork --propagation private bash -c '
      set -e
      work=$1 machine=$2
      layers=$work/layers-$machine
      mkdir "$layers"
      mount -t tmpfs tmpfs "$layers" || { echo "cannot mount here: skipped"; exit 77; }
      mkdir "$layers/upper" "$layers/scratch" "$layers/root"
      root=$layers/root
      mount -t overlay overlay -o "lowerdir=/,upperdir=$layers/upper,workdir=$layers/scratch" "$root" \
        || { echo "no overlay file system: skipped"; exit 77; }
      mount -t proc proc "$root/proc"
      mount --rbind /dev "$root/dev"
      mount -t tmpfs tmpfs "$root/tmp"
      mount -t tmpfs tmpfs "$root/run"
      cp "$work/tavrin-client.deb" "$work/inside.sh" "$root/"
      exec chroot "$root" /bin/bash /inside.sh "$machine"
    ' throwaway-root "$work" "$machine" 2>&1
    status=$?
    (( status == 77 )) && exit 77
    (( status == 0 )) || fail "in the throwaway root of the $machine machine (status $status)"
  done
  ;;

*)
  fail "unknown case $case_name"
  ;;
esac
echo "ok package $case_name"
