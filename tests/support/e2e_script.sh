# What the end-to-end test scripts share, on top of the desktop helpers; sourced first.

source "$(dirname "${BASH_SOURCE[0]}")/../../scripts/lib/desktop.sh"

fail() { echo "FAIL: $*" >&2; exit 1; }

# Sets the test apart: runs the script again, with its arguments, in a network namespace of
# its own (without root the test is skipped, exit status 77), with private folders ($work).
# The client looks for the system service on the system bus: it finds none there, unless
# the test starts a bus of its own, and the machine's own is never touched.
isolate_test() {
  use_private_network "$@" || { echo "needs root for a network namespace of its own"; exit 77; }
  use_private_folders
  export DBUS_SYSTEM_BUS_ADDRESS=unix:path=$work/no-system-bus
}

# Starts a private accessibility bus (AT-SPI) with its registry and announces it on the
# session bus (org.a11y.Bus), as a desktop session does before its programs start; Qt and
# pyatspi find it there. AT_SPI_BUS_ADDRESS is left unset: Qt 6.4 connects to a bus named
# there but never registers on it. Every process is tracked here, none left to bus
# activation.
start_accessibility_bus() {
  local address
  dbus-daemon --config-file=/usr/share/defaults/at-spi2/accessibility.conf --nofork --print-address=3 \
    3>"$work/a11y-bus" >"$work/a11y.log" 2>&1 &
  track $!
  wait_for "[[ -s $work/a11y-bus ]]" 100 || { echo "the accessibility bus did not start:" >&2; cat "$work/a11y.log" >&2; return 1; }
  address=$(head -n 1 "$work/a11y-bus")
  AT_SPI_BUS_ADDRESS=$address /usr/libexec/at-spi2-registryd >>"$work/a11y.log" 2>&1 &
  track $!
  : >"$work/a11y-service.log"
  "$(dirname "${BASH_SOURCE[0]}")/../e2e/accessibility_bus_service.py" "$address" >"$work/a11y-service.log" 2>&1 &
  track $!
  wait_for "grep -q '^ready' '$work/a11y-service.log'" 100 &&
    wait_for "dbus-send --bus='$address' --print-reply --dest=org.freedesktop.DBus / org.freedesktop.DBus.NameHasOwner string:org.a11y.atspi.Registry 2>/dev/null | grep -q true" 100 ||
    { echo "the accessibility bus did not start:" >&2; cat "$work/a11y.log" "$work/a11y-service.log" >&2; return 1; }
}
