#!/usr/bin/env bash
# The real program and the folders its settings live in: run over a HOME that belongs to
# someone else it makes nothing there, says so once and runs on; a user without a settings
# file starts from the administrator's defaults.
# Usage: settings_owner_test.sh CLIENT CASE
set -uo pipefail

client=$1
case_name=$2
source "$(dirname "$0")/../support/e2e_script.sh"
isolate_test "$@"
export QT_QPA_PLATFORM=offscreen
unset XDG_CONFIG_HOME XDG_CONFIG_DIRS
other_uid=54321 # no user of this machine

# Never makes the lock file itself: one made by root would keep another user's client out.
lock_held() { [[ -e $XDG_RUNTIME_DIR/$1 ]] && ! flock -n "$XDG_RUNTIME_DIR/$1" true 2>/dev/null; }

# Starts the client with the rest of the line in front of it (setpriv ...), waits until its
# window is made, ends it with SIGTERM and expects a clean exit; its stderr is in $work/err.
run_client_once() {
  "$@" "$client" --dry-run 2>"$work/err" &
  local pid=$!
  track "$pid"
  wait_for "lock_held tclient" 150 || fail "client never came up: $(cat "$work/err")"
  kill -0 "$pid" || fail "client ended: $(cat "$work/err")"
  kill -TERM "$pid"
  wait_for "! kill -0 $pid 2>/dev/null" 50 || fail "client ignores SIGTERM"
  wait "$pid" || fail "client exits $? after SIGTERM: $(cat "$work/err")"
}

expect_refusal_once() {
  local said
  said=$(grep -c "^tavrin.settings: warning: settings are not saved: $HOME belongs to " "$work/err")
  [[ $said == 1 ]] || fail "the reason was said $said times: $(cat "$work/err")"
  [[ -z $(find "$HOME" -mindepth 1) ]] || fail "made in HOME: $(find "$HOME" -mindepth 1)"
}

if [[ $(id -u) != 0 ]]; then
  echo "needs root to run as, and hand folders to, another user"
  exit 77
fi

case $case_name in
sudo-like)
  # As "sudo tavrin-client" leaves it: root, with the user's HOME.
  export HOME=$work/home
  mkdir -m 755 "$HOME"
  chown "$other_uid:$other_uid" "$HOME"
  run_client_once
  expect_refusal_once
  ;;

other-user)
  # Another user over a HOME that root owns but lets anyone write to.
  export HOME=$work/home
  mkdir -m 777 "$HOME"
  chmod 755 "$work"
  chown "$other_uid:$other_uid" "$XDG_RUNTIME_DIR"
  run_client_once setpriv --reuid="$other_uid" --regid="$other_uid" --clear-groups
  expect_refusal_once
  ;;

defaults)
  export HOME=$work/home XDG_CONFIG_DIRS=$work/missing:$work/site
  mkdir -p "$HOME" "$work/site/tavrin-client"
  printf 'REGEDIT4\n\n[HKEY_CURRENT_USER\\SOFTWARE\\DOVETRA\\TAVRINCLIENT]\n"server"="10.20.30.40"\n' \
    >"$work/site/tavrin-client/user.reg"
  run_client_once
  grep -qx "tavrin.settings: no settings file of the user's own: starting from $work/site/tavrin-client/user.reg" "$work/err" \
    || fail "defaults not read: $(cat "$work/err")"
  [[ -z $(find "$HOME" -mindepth 1) ]] || fail "reading made files: $(find "$HOME" -mindepth 1)"
  ;;

*)
  fail "unknown case $case_name"
  ;;
esac
echo "PASS: $case_name"
