#!/usr/bin/env bash
# tavrinctl's bash completion: sourced alone, as bash-completion loads it, it registers for
# tavrinctl and offers, for each line typed so far, the commands and options that fit.
# Usage: ctl_completion_test.sh COMPLETION_FILE
set -uo pipefail
completion=$1
fail() { echo "FAIL: $*" >&2; exit 1; }

source "$completion" || fail "$completion does not source"
[[ $(complete -p tavrinctl) == "complete -F _tavrinctl tavrinctl" ]] || fail "registered as: $(complete -p tavrinctl)"

# What completing the last word of LINE offers, sorted, on one line. A LINE that ends in a
# space completes an empty word.
offered() {
  local line=$1
  read -ra COMP_WORDS <<<"$line"
  [[ $line == *' ' ]] && COMP_WORDS+=('')
  COMP_CWORD=$((${#COMP_WORDS[@]} - 1))
  COMPREPLY=()
  _tavrinctl
  printf '%s\n' "${COMPREPLY[@]}" | sort | paste -sd ' '
}

check() {
  local got
  got=$(offered "$1")
  [[ $got == "$2" ]] || fail "'$1' offers '$got', not '$2'"
}

check 'tavrinctl ' 'check set-server status update'
check 'tavrinctl s' 'set-server status'
check 'tavrinctl up' 'update'
check 'tavrinctl -' '--crit --help --json --version --warn'
check 'tavrinctl --json s' 'set-server status'
check 'tavrinctl status -' '--help --json'
check 'tavrinctl status --j' '--json'
check 'tavrinctl check -' '--crit --help --warn'
check 'tavrinctl check --warn ' ''
check 'tavrinctl --warn 900 check --c' '--crit'
check 'tavrinctl -w 900 ' 'check set-server status update'
check 'tavrinctl update ' ''
check 'tavrinctl update -' '--help'
check 'tavrinctl status ' ''
# set-server takes one host name, of those bash knows from HOSTFILE.
hosts=$(mktemp)
trap 'rm -f "$hosts"' EXIT
echo '192.0.2.5 time.example.org' >"$hosts"
HOSTFILE=$hosts
check 'tavrinctl set-server time.ex' 'time.example.org'
check 'tavrinctl set-server time.example.org ' ''
echo "ok completion"
