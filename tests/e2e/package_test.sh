#!/usr/bin/env bash
# The Debian package made from the build: what it holds and declares, what lintian says
# of it, and what its maintainer scripts do when it is installed and purged. The install
# happens in a throwaway root: an overlay over this machine's own tree, in mount, process
# and network namespaces of its own, whose writes all land in a memory file system that
# goes away with it. This machine's own root is never written.
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
      usr/share/doc/tavrin-client/copyright usr/share/doc/tavrin-client/changelog.gz; do
    has "-rw-r--r-- root/root $file"
  done
  has "-rwxr-xr-x root/root usr/sbin/tavrin-clientd"
  # Only the five programs: no test, benchmark or build tool.
  programs=$(grep -c '^-rwx' "$work/listing")
  (( programs == 5 )) || fail "$programs executables in the package, expected 5"
  grep -v '^d' "$work/listing" | grep -Evq ' (etc/xdg|usr/bin|usr/sbin|usr/lib|usr/share)/' &&
    fail "files outside the expected folders"

  control=$(dpkg-deb -f "$deb")
  echo "--- dpkg-deb -I"
  dpkg-deb -I "$deb"
  depends=$(dpkg-deb -f "$deb" Depends)
  # Computed from the programs' libraries, beside the maintainer scripts' own tools.
  for package in libqt6widgets6 libcanberra0 libc6 adduser libcap2-bin; do
    [[ $depends == *"$package"* ]] || fail "Depends lacks $package: $depends"
  done
  [[ $(dpkg-deb -f "$deb" Package Section) == $'Package: tavrin-client\nSection: utils' ]] || fail "control: $control"
  dpkg-deb -e "$deb" "$work/control"
  [[ $(cat "$work/control/conffiles") == /etc/xdg/autostart/tavrin-client.desktop ]] || fail "conffiles: $(cat "$work/control/conffiles")"
  for script in postinst postrm; do
    [[ -x $work/control/$script ]] || fail "no executable $script"
    sh -n "$work/control/$script" || fail "$script is not valid sh"
  done

  echo "--- lintian"
  lintian "$deb" >"$work/lintian" 2>&1
  cat "$work/lintian"
  grep -q '^E:' "$work/lintian" && fail "lintian reports errors"
  ;;

install)
  [[ $(id -u) -eq 0 ]] || { echo "needs root for a throwaway root"; exit 77; }
  cp "$deb" "$work/tavrin-client.deb"
  cat >"$work/inside.sh" <<'INSIDE'
set -uo pipefail
fail() { echo "FAIL: $*" >&2; exit 1; }
helper=/usr/bin/tavrin-set-clock
# The manual page index would be rebuilt for the whole system: not what is tested here.
rm -f /var/lib/man-db/auto-update
dpkg -i /tavrin-client.deb >/install.log 2>&1 || { cat /install.log >&2; fail "dpkg -i failed"; }
getent group tavrin-time >/dev/null || fail "no group tavrin-time"
[[ $(stat -c '%a %U %G' "$helper") == "750 root tavrin-time" ]] || fail "helper: $(stat -c '%a %U %G' "$helper")"
[[ $(getcap "$helper") == *cap_sys_time=ep* ]] || fail "helper capability: $(getcap "$helper")"
[[ $(dpkg-statoverride --list "$helper") == "root tavrin-time 750 $helper" ]] || fail "dpkg records: $(dpkg-statoverride --list "$helper")"
[[ -f /etc/xdg/autostart/tavrin-client.desktop ]] || fail "no autostart entry"
echo "installed: $(stat -c '%A %U:%G' "$helper") $(getcap "$helper")"

# Once more, as an upgrade does: the new file keeps group and mode, and the capability is back.
dpkg -i /tavrin-client.deb >/install.log 2>&1 || { cat /install.log >&2; fail "second dpkg -i failed"; }
[[ $(stat -c '%a %U %G' "$helper") == "750 root tavrin-time" ]] || fail "after a reinstall: $(stat -c '%a %U %G' "$helper")"
[[ $(getcap "$helper") == *cap_sys_time=ep* ]] || fail "capability lost on a reinstall"

dpkg --remove tavrin-client >/remove.log 2>&1 || { cat /remove.log >&2; fail "dpkg --remove failed"; }
[[ ! -e $helper && ! -e /usr/bin/tavrin-client ]] || fail "programs left after removal"
[[ -f /etc/xdg/autostart/tavrin-client.desktop ]] || fail "a configuration file went before the purge"
dpkg --purge tavrin-client >/purge.log 2>&1 || { cat /purge.log >&2; fail "dpkg --purge failed"; }
getent group tavrin-time >/dev/null && fail "group tavrin-time left after purge"
dpkg-statoverride --list "$helper" >/dev/null && fail "dpkg's record of the helper left after purge"
[[ ! -e /etc/xdg/autostart/tavrin-client.desktop ]] || fail "autostart entry left after purge"
echo "purged: no group, no record, no files"
INSIDE
  # The throwaway root: this tree below, a memory file system above that takes all writes.
  unshare --mount --pid --net --fork --propagation private bash -c '
    set -e
    work=$1
    mkdir "$work/layers"
    mount -t tmpfs tmpfs "$work/layers" || { echo "cannot mount here: skipped"; exit 77; }
    mkdir "$work/layers/upper" "$work/layers/scratch" "$work/layers/root"
    root=$work/layers/root
    mount -t overlay overlay -o "lowerdir=/,upperdir=$work/layers/upper,workdir=$work/layers/scratch" "$root" \
      || { echo "no overlay file system: skipped"; exit 77; }
    mount -t proc proc "$root/proc"
    mount --rbind /dev "$root/dev"
    mount -t tmpfs tmpfs "$root/tmp"
    mount -t tmpfs tmpfs "$root/run"
    cp "$work/tavrin-client.deb" "$work/inside.sh" "$root/"
    exec chroot "$root" /bin/bash /inside.sh
  ' throwaway-root "$work" 2>&1
  status=$?
  (( status == 0 || status == 77 )) || fail "in the throwaway root (status $status)"
  exit "$status"
  ;;

*)
  fail "unknown case $case_name"
  ;;
esac
echo "ok package $case_name"
