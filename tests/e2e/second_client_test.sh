#!/usr/bin/env bash
# A second user's copy on the same PC: the first copy holds the reply port, and the second
# runs on without a box, says why no reply reaches it, and keeps its clock face going.
# Usage: second_client_test.sh CLIENT    (needs root for a network namespace; skips without it)
set -uo pipefail

client=$1
source "$(dirname "$0")/../support/e2e_script.sh"
isolate_test "$@"

# The first user's copy, in folders of its own.
first=$work/first
mkdir -m 700 -p "$first/runtime" "$first/config"
XDG_RUNTIME_DIR=$first/runtime XDG_CONFIG_HOME=$first/config QT_QPA_PLATFORM=offscreen \
  "$client" --dry-run >"$work/first.log" 2>&1 &
track $!
wait_for "ss -Hltn 'sport = :6646' | grep -q ." 100 || fail "the first copy never took port 6646"

start_x_server || fail "no X server"
"$client" --dry-run --show >/dev/null 2>"$work/second.log" &
second=$!
track "$second"
wait_for '[[ -n $(main_window_shown) ]]' 100 || fail "the second copy did not show its window"
notice="Another Tavrin Client on this PC receives the time (port 6646 in use)"
wait_for "grep -qF '$notice' '$work/second.log'" 50 || fail "the second copy did not say why: $(cat "$work/second.log")"

# Its clock face goes on; by the time it changed, the first fetch has tried the port again.
window=$(main_window_shown)
look() { import -window "$window" -depth 8 txt:- 2>/dev/null | md5sum; }
before=$(look)
wait_for '[[ $(look) != "$before" ]]' 30 || fail "the clock face stands still"
xdotool search --onlyvisible --name '^Tavrin Client$' >/dev/null 2>&1 && fail "a box appeared"
kill -0 "$second" 2>/dev/null || fail "the second copy ended"
(( $(grep -cF "$notice" "$work/second.log") == 1 )) || fail "said more than once: $(cat "$work/second.log")"
kill -0 "${started_pids[0]}" 2>/dev/null || fail "the first copy ended"
echo "ok second client"
