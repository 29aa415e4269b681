# What a running process costs, read from /proc; sourced by the idle benchmarks.

# "NAME/TID WAKE-UPS CPU-NS" for each thread of process $1, into file $2. Wake-ups are
# the thread's context switches; CPU is the scheduler's own count, to the nanosecond.
per_thread() {
  local task
  for task in /proc/$1/task/*; do
    echo "$(tr ' ' _ <"$task/comm")/${task##*/}" \
      "$(awk '/^(voluntary|nonvoluntary)_ctxt_switches/ { n += $2 } END { print n }' "$task/status")" \
      "$(cut -d ' ' -f 1 "$task/schedstat")"
  done | sort >"$2"
}

# Peak and present resident memory of process $1, in KiB: "PEAK NOW".
resident_kib() { awk '/^VmHWM/ { peak = $2 } /^VmRSS/ { now = $2 } END { print peak, now }' "/proc/$1/status"; }

# The threads that lived through the whole measure, from the files per_thread wrote before
# ($1) and after ($2): "NAME/TID WAKE-UPS CPU-NS" over it.
used() { join "$1" "$2" | awk '{ print $1, $4 - $2, $5 - $3 }'; }
