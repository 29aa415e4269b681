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
