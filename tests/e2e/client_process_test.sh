#!/usr/bin/env bash
# The real program as a user starts it: its options, one copy per user, the alert for a
# second window, ending on SIGTERM, SIGINT and SIGHUP, a closed output, no display.
# Usage: client_process_test.sh CLIENT CASE [TIME_SERVER]
set -uo pipefail

client=$1
case_name=$2
server=${3:-}
source "$(dirname "$0")/../support/e2e_script.sh"
isolate_test "$@"
export QT_QPA_PLATFORM=offscreen

# Waits for process $1 to end within $2 tenths of a second; leaves its status in $status.
wait_exit() {
  wait_for "! kill -0 $1 2>/dev/null" "$2" || return 1
  wait "$1"
  status=$?
}

lock_held() { ! flock -n "$XDG_RUNTIME_DIR/$1" true 2>/dev/null; }

case $case_name in
options)
  out=$("$client" --help) || fail "--help exits non-zero"
  [[ $out == *"Usage: tavrin-client"* && $out == *--dry-run* && $out == *--show* ]] || fail "help text: $out"
  [[ $("$client" --version) == "Tavrin Client 2.00" ]] || fail "version text"
  "$client" --show --bogus >"$work/out" 2>"$work/err"
  status=$?
  (( status == 2 )) || fail "unknown option exits $status, not 2"
  [[ ! -s $work/out ]] || fail "unknown option writes to stdout"
  [[ $(wc -l <"$work/err") -eq 1 && $(cat "$work/err") == *--bogus* ]] || fail "usage error: $(cat "$work/err")"
  ;;

second-copy)
  "$client" --dry-run >"$work/first.out" 2>&1 &
  first=$!
  track "$first"
  wait_for "lock_held tavrinc" 100 || fail "first copy never took its lock"
  "$client" --dry-run --show >"$work/second.out" 2>&1 &
  second=$!
  track "$second"
  wait_exit "$second" 50 || fail "second copy still runs"
  (( status == 0 )) || fail "second copy exits $status"
  [[ ! -s $work/second.out ]] || fail "second copy said: $(cat "$work/second.out")"
  kill -0 "$first" || fail "first copy ended"
  ;;

sigterm | sigint | sighup)
  "$client" --dry-run &
  pid=$!
  track "$pid"
  wait_for "lock_held tclient" 100 || fail "client never came up"
  kill "-${case_name#sig}" "$pid"
  wait_exit "$pid" 50 || fail "client ignores $case_name"
  (( status == 0 )) || fail "client exits $status after $case_name"
  ;;

closed-output)
  # The dry run's line for the server's reply goes to a pipe that nobody reads any more.
  mkdir -p "$XDG_CONFIG_HOME/tavrin-client"
  printf 'REGEDIT4\n\n[HKEY_CURRENT_USER\\SOFTWARE\\DOVETRA\\TAVRINCLIENT]\n"server"="127.0.0.1"\n' \
    >"$XDG_CONFIG_HOME/tavrin-client/user.reg"
  "$server" --status-interval 0 --reply-delay 2 >"$work/server.out" 2>&1 &
  track $!
  wait_for '[[ -n $(ss -Htln "( sport = :6645 )") ]]' 100 || fail "the server does not listen"
  mkfifo "$work/out"
  exec {reader}<>"$work/out" # held only until the client has opened its end
  "$client" --dry-run >"$work/out" {reader}<&- &
  pid=$!
  track "$pid"
  wait_for "grep -q '^request from' '$work/server.out'" 100 || fail "no request reached the server"
  exec {reader}<&-
  grep -q '^reply to' "$work/server.out" && fail "inconclusive: the reply came before the pipe was closed"
  wait_for "grep -q '^reply to' '$work/server.out'" 100 || fail "the server sent no reply"
  # The client closes its end of the reply connection once it has handled the frame.
  wait_for '[[ -z $(ss -Htn "( sport = :6646 )") ]]' 100 || fail "the client never finished the reply"
  kill -0 "$pid" 2>/dev/null || { wait "$pid"; fail "the client ended (status $?) on writing to a closed pipe"; }
  kill -TERM "$pid"
  wait_exit "$pid" 50 || fail "client ignores SIGTERM"
  (( status == 0 )) || fail "client exits $status after SIGTERM"
  ;;

no-display)
  env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM "$client" --dry-run >"$work/out" 2>"$work/err"
  status=$?
  (( status == 1 )) || fail "without a display the client exits $status, not 1"
  [[ ! -s $work/out ]] || fail "it wrote to stdout: $(cat "$work/out")"
  [[ $(wc -l <"$work/err") -eq 1 && $(cat "$work/err") == *"desktop session"* ]] || fail "message: $(cat "$work/err")"
  ;;

window-lock-held)
  # Another process holds the window lock only: the user is told, and the program ends
  # once the alert is dismissed.
  exec 9>"$XDG_RUNTIME_DIR/tclient"
  flock -n 9 || fail "could not hold the window lock"
  start_x_server || fail "no X server"
  "$client" --dry-run --show 9>&- &
  pid=$!
  track "$pid"
  wait_for "alert=\$(xdotool search --onlyvisible --name '^Dovetra Tavrin Client\$' 2>/dev/null | head -n 1); [[ -n \$alert ]]" 100 \
    || fail "no alert appeared"
  xdotool search --onlyvisible --name 'Tavrin Client V2.00' >/dev/null 2>&1 && fail "window shown behind the alert"
  kill -0 "$pid" || fail "client ended before the alert was dismissed"
  xdotool windowfocus --sync "$alert" key Return
  wait_exit "$pid" 50 || fail "client still runs after the alert"
  (( status == 0 )) || fail "client exits $status"
  ;;

*)
  fail "unknown case $case_name"
  ;;
esac
echo "ok $case_name"
