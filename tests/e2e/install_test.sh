#!/usr/bin/env bash
# Installs the build into a fresh prefix and checks what a desktop finds there.
# Usage: install_test.sh BUILD_DIR
set -uo pipefail
build=$1
prefix=$(mktemp -d)
trap 'rm -rf "$prefix"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

cmake --install "$build" --prefix "$prefix" >/dev/null || fail "install failed"

for program in tavrin-client tavrin-set-clock tavrin-time-server; do
  [[ -x $prefix/bin/$program ]] || fail "no $program"
done
[[ $("$prefix/bin/tavrin-client" --version) == "Tavrin Client 2.00" ]] || fail "installed binary does not run"
for entry in share/applications/tavrin-client.desktop etc/xdg/autostart/tavrin-client.desktop; do
  [[ -f $prefix/$entry ]] || fail "no $entry"
  desktop-file-validate "$prefix/$entry" || fail "$entry is not a valid desktop entry"
  grep -qx 'Exec=tavrin-client' "$prefix/$entry" || fail "$entry does not start the client"
done
for size in 32 64 128; do
  icon=$prefix/share/icons/hicolor/${size}x${size}/apps/tavrin-client.png
  [[ $(identify -format '%m %wx%h' "$icon" 2>/dev/null) == "PNG ${size}x${size}" ]] || fail "icon $size"
done

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
