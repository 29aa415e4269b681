#!/usr/bin/env bash
# Installs the build as a distribution would (prefix /usr, into a staging folder) and
# checks what a desktop and a system find there; then into a prefix of its own.
# Usage: install_test.sh BUILD_DIR
set -uo pipefail
build=$1
stage=$(mktemp -d)
trap 'rm -rf "$stage"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

DESTDIR=$stage/root cmake --install "$build" --prefix /usr >/dev/null || fail "install failed"
root=$stage/root
prefix=$root/usr

[[ $(ls "$root") == $'etc\nusr' ]] || fail "installed outside /usr and /etc: $(ls "$root")"
for program in tavrin-client tavrin-set-clock tavrin-time-server; do
  [[ -x $prefix/bin/$program ]] || fail "no $program"
done
[[ $("$prefix/bin/tavrin-client" --version) == "Tavrin Client 2.00" ]] || fail "installed binary does not run"
# The clock-setting helper is never executable by others, and stays so when installed again.
helper=$prefix/bin/tavrin-set-clock
[[ $(stat -c %a "$helper") == 750 ]] || fail "helper mode $(stat -c %a "$helper")"
chmod 755 "$helper"
DESTDIR=$root cmake --install "$build" --prefix /usr >/dev/null || fail "second install failed"
[[ $(stat -c %a "$helper") == 750 ]] || fail "helper mode $(stat -c %a "$helper") after a second install"

for entry in usr/share/applications/tavrin-client.desktop etc/xdg/autostart/tavrin-client.desktop; do
  [[ -f $root/$entry ]] || fail "no $entry"
  desktop-file-validate "$root/$entry" || fail "$entry is not a valid desktop entry"
  grep -qx 'Exec=tavrin-client' "$root/$entry" || fail "$entry does not start the client"
done
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

for program in tavrin-client tavrin-set-clock tavrin-time-server; do
  page=$prefix/share/man/man1/$program.1.gz
  gzip -t "$page" 2>/dev/null || fail "no manual page for $program"
  zcat "$page" | grep -q "^$program \\\\- " || fail "the manual page of $program has no NAME line"
done
# Made from --help: every option the client knows is in its page.
for option in --dry-run --show --help --version; do
  zcat "$prefix/share/man/man1/tavrin-client.1.gz" | grep -q -- "${option//-/\\\\-}" || fail "$option missing from the manual page"
done

# The system service's files come with its program, and never without it.
service_files=(lib/systemd/system/tavrin-clientd.service lib/sysusers.d/tavrin-clientd.conf
  lib/tmpfiles.d/tavrin-clientd.conf lib/systemd/ntp-units.d/70-tavrin-clientd.list
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

# Any other prefix keeps the autostart entry below itself.
cmake --install "$build" --prefix "$stage/local" >/dev/null || fail "install to a prefix failed"
[[ -f $stage/local/etc/xdg/autostart/tavrin-client.desktop ]] || fail "autostart entry not below the prefix"

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
