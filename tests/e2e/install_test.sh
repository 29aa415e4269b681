#!/usr/bin/env bash
# Installs the build as a distribution would (prefix /usr, into a staging folder) and
# checks what a desktop and a system find there; then into prefixes of its own.
# Usage: install_test.sh BUILD_DIR
set -uo pipefail
build=$(realpath "$1")
stage=$(mktemp -d)
trap 'rm -rf "$stage"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

DESTDIR=$stage/root cmake --install "$build" --prefix /usr >/dev/null || fail "install failed"
root=$stage/root
prefix=$root/usr

[[ $(ls "$root") == $'etc\nusr' ]] || fail "installed outside /usr and /etc: $(ls "$root")"
for program in tavrin-client tavrin-set-clock tavrin-time-server tavrinctl; do
  [[ -x $prefix/bin/$program ]] || fail "no $program"
done
[[ $("$prefix/bin/tavrin-client" --version) == "Tavrin Client 2.00" ]] || fail "installed binary does not run"
# The clock-setting helper is never executable by others, and stays so when installed again.
helper=$prefix/bin/tavrin-set-clock
[[ $(stat -c %a "$helper") == 750 ]] || fail "helper mode $(stat -c %a "$helper")"
chmod 755 "$helper"
DESTDIR=$root cmake --install "$build" --prefix /usr >/dev/null || fail "second install failed"
[[ $(stat -c %a "$helper") == 750 ]] || fail "helper mode $(stat -c %a "$helper") after a second install"

menu_entry=usr/share/applications/tavrin-client.desktop autostart_entry=etc/xdg/autostart/tavrin-client.desktop
for entry in $menu_entry $autostart_entry; do
  [[ -f $root/$entry ]] || fail "no $entry"
  desktop-file-validate "$root/$entry" || fail "$entry is not a valid desktop entry"
done
# Chosen from the menu, the program shows its window, a running copy's too; at login it
# goes to the tray, and once the program is removed, the entry left in /etc starts nothing.
grep -qx 'Exec=tavrin-client --show' "$root/$menu_entry" || fail "the menu entry does not ask for the window"
grep -qx 'Exec=tavrin-client' "$root/$autostart_entry" || fail "the autostart entry does not start the client"
grep -qx 'TryExec=tavrin-client' "$root/$autostart_entry" || fail "the autostart entry outlives the program"
metainfo=$prefix/share/metainfo/com.dovetra.TavrinClient.metainfo.xml
appstreamcli validate --no-net "$metainfo" || fail "the metainfo does not validate"
grep -q '<launchable type="desktop-id">tavrin-client.desktop</launchable>' "$metainfo" ||
  fail "the metainfo does not name the desktop entry"

for size in 32 64 128; do
  icon=$prefix/share/icons/hicolor/${size}x${size}/apps/tavrin-client.png
  [[ $(identify -format '%m %wx%h' "$icon" 2>/dev/null) == "PNG ${size}x${size}" ]] || fail "icon $size"
done
# The drawing renders, at any size, in the pixel icon's colours.
svg=$prefix/share/icons/hicolor/scalable/apps/tavrin-client.svg
rsvg-convert -w 256 -h 256 "$svg" -o "$stage/svg.png" || fail "the SVG icon does not render"
colours=$(convert "$stage/svg.png" -alpha off -unique-colors txt:- 2>/dev/null)
for colour in 000000 FFFFFF C0C0C0 FF0000; do
  [[ $colours == *"#$colour"* ]] || fail "the SVG icon has no #$colour"
done

# The tray's faces, by the names the program gives StatusNotifier panels: at the sizes
# panels draw, and as drawings, green while all is well and red on trouble.
for face in tavrin-client-tray:00FF00 tavrin-client-tray-error:FF0000; do
  name=${face%:*} colour=${face#*:}
  for size in 16 22 32 48 64; do
    icon=$prefix/share/icons/hicolor/${size}x${size}/apps/$name.png
    [[ $(identify -format '%m %wx%h' "$icon" 2>/dev/null) == "PNG ${size}x${size}" ]] || fail "$name at $size"
  done
  rsvg-convert -w 64 -h 64 "$prefix/share/icons/hicolor/scalable/apps/$name.svg" -o "$stage/face.png" ||
    fail "the drawing of $name does not render"
  [[ $(convert "$stage/face.png" -alpha off -unique-colors txt:- 2>/dev/null) == *"#$colour"* ]] ||
    fail "the drawing of $name has no #$colour"
done

for program in tavrin-client tavrin-set-clock tavrin-time-server tavrinctl; do
  page=$prefix/share/man/man1/$program.1.gz
  gzip -t "$page" 2>/dev/null || fail "no manual page for $program"
  grep -q "^$program \\\\- " <(zcat "$page") || fail "the manual page of $program has no NAME line"
done
# The service's page is in section 8 alone, as for a program of sbin.
page=$prefix/share/man/man8/tavrin-clientd.8.gz
grep -q '^tavrin-clientd \\- ' <(zcat "$page" 2>/dev/null) || fail "no manual page for tavrin-clientd in section 8"
[[ ! -e $prefix/share/man/man1/tavrin-clientd.1.gz ]] || fail "a manual page for tavrin-clientd in section 1"
# Made from --help: every option the client knows is in its page.
for option in --dry-run --show --help --version; do
  grep -q -- "${option//-/\\\\-}" <(zcat "$prefix/share/man/man1/tavrin-client.1.gz") || fail "$option missing from the manual page"
done

# tavrinctl's page holds every command and option of its --help, and the exit statuses.
ctl_page=$(zcat "$prefix/share/man/man1/tavrinctl.1.gz")
for word in status update set-server check --json --warn --crit --help --version; do
  grep -q -- "${word//-/\\\\-}" <<<"$ctl_page" || fail "$word missing from tavrinctl's manual page"
done
grep -q '^\.SH "EXIT STATUS"' <<<"$ctl_page" || fail "tavrinctl's manual page has no EXIT STATUS"
# Its completion lies where bash-completion looks for it by the command's name.
completion=$prefix/share/bash-completion/completions/tavrinctl
bash -c 'source "$1" && complete -p tavrinctl' sh "$completion" >/dev/null || fail "no completion for tavrinctl"

# The system service's files come with its program, and never without it.
service_files=(lib/systemd/system/tavrin-clientd.service lib/sysusers.d/tavrin-clientd.conf
  lib/tmpfiles.d/tavrin-clientd.conf lib/systemd/ntp-units.d/90-tavrin-clientd.list
  share/dbus-1/system.d/com.dovetra.TavrinClient1.conf share/polkit-1/actions/com.dovetra.TavrinClient1.policy)
for file in "${service_files[@]}"; do
  if [[ -x $prefix/sbin/tavrin-clientd ]]; then
    [[ -f $prefix/$file ]] || fail "no $file"
  else
    [[ ! -e $prefix/$file ]] || fail "$file without the service program"
  fi
done
[[ ! -x $prefix/sbin/tavrin-clientd ]] ||
  grep -qx 'ExecStart=/usr/sbin/tavrin-clientd' "$prefix/lib/systemd/system/tavrin-clientd.service" ||
  fail "the unit does not start the installed service program"

# The service's settings file shows every setting the manual documents, commented out at
# its default, and sets none.
settings=$root/etc/tavrin-client/clientd.conf
[[ -f $settings ]] || fail "no etc/tavrin-client/clientd.conf"
grep -qx '\[Time\]' "$settings" || fail "clientd.conf has no [Time] section"
grep -Ev '^(#.*|\[Time\]|)$' "$settings" && fail "clientd.conf sets something: it should only show the defaults"
documented=$(zcat "$page" | sed -n 's/^\.BI \([A-Za-z]*\)= .*/\1/p' | sort)
shown=$(sed -n 's/^#\([A-Za-z]*\)=.*/\1/p' "$settings" | sort)
[[ -n $documented && $shown == "$documented" ]] ||
  fail "clientd.conf shows: ${shown//$'\n'/ }; the manual page documents: ${documented//$'\n'/ }"

# Every other prefix has the configuration files in its own configuration folder, as
# GNUInstallDirs has it (/usr's is above), and the unit naming the service where it is;
# the install leaves the folder it runs in alone.
mkdir "$stage/cwd"
for install in "$stage/opt-root|/opt/tavrin|/etc/opt/tavrin" "|$stage/local|$stage/local/etc"; do
  IFS='|' read -r destdir install_prefix etc <<<"$install"
  (cd "$stage/cwd" && DESTDIR=$destdir cmake --install "$build" --prefix "$install_prefix" >/dev/null) ||
    fail "install to $install_prefix failed"
  for file in xdg/autostart/tavrin-client.desktop tavrin-client/clientd.conf; do
    [[ -f $destdir$etc/$file ]] || fail "$file not in $etc for the prefix $install_prefix"
  done
  grep -qx "ExecStart=$install_prefix/sbin/tavrin-clientd" "$destdir$install_prefix/lib/systemd/system/tavrin-clientd.service" ||
    fail "the unit installed for $install_prefix does not start its service program"
done
[[ -z $(ls -A "$stage/cwd") ]] || fail "the install wrote in the folder it ran in: $(ls -A "$stage/cwd")"

# The sound the alarm falls back to: a playable 16-bit mono PCM WAV of a second or two.
wav=$prefix/share/tavrin-client/hour.wav
[[ -f $wav ]] || fail "no hour.wav in the data directory"
header=($(od -An -v -t u1 -N 44 "$wav"))
(( ${#header[@]} == 44 )) || fail "hour.wav is too short"
tag() { printf '%s' "$(dd if="$wav" bs=1 skip="$1" count=4 2>/dev/null)"; }
u16() { echo $(( header[$1] + 256 * header[$1 + 1] )); }
u32() { echo $(( header[$1] + 256 * (header[$1 + 1] + 256 * (header[$1 + 2] + 256 * header[$1 + 3])) )); }
riff=$(tag 0) wave=$(tag 8) fmt=$(tag 12) data=$(tag 36)
riff_size=$(u32 4) format=$(u16 20) channels=$(u16 22) rate=$(u32 24) bits=$(u16 34) data_size=$(u32 40)
[[ $riff == RIFF && $wave == WAVE && $fmt == "fmt " && $data == data ]] || fail "hour.wav is not a WAV file"
(( format == 1 && channels == 1 && bits == 16 )) || fail "hour.wav is not 16-bit mono PCM"
(( riff_size == $(stat -c %s "$wav") - 8 && data_size == riff_size - 36 )) || fail "hour.wav sizes disagree"
(( data_size >= rate * 2 && data_size <= rate * 2 * 3 )) || fail "hour.wav lasts $((data_size / rate / 2)) s"
echo "ok install"
