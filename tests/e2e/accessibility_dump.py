#!/usr/bin/python3
"""Prints what a screen reader learns of a program, through AT-SPI (python3-pyatspi).

  accessibility_dump.py APPLICATION [SECONDS]

Waits up to SECONDS (default 10) for APPLICATION to appear on the accessibility bus, then
prints its tree, one object a line, indented by depth: "ROLE: NAME", with
" [key: KEYBINDING]" for an object that has a keyboard shortcut and " (hidden)" for one
that is not showing. Exits 1 when the application never appears.
"""

import sys
import time

import pyatspi


def find_application(name, seconds):
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        for application in pyatspi.Registry.getDesktop(0):
            if application is not None and application.name == name:
                return application
        time.sleep(0.2)
    return None


def key_binding(accessible):
    try:
        actions = accessible.queryAction()
    except NotImplementedError:
        return ""
    keys = [actions.getKeyBinding(i) for i in range(actions.nActions)]
    keys = [key for key in keys if key]
    return f" [key: {' '.join(keys)}]" if keys else ""


def dump(accessible, depth):
    showing = accessible.getState().contains(pyatspi.STATE_SHOWING)
    print(f"{'  ' * depth}{accessible.getRoleName()}: {accessible.name}{key_binding(accessible)}"
          f"{'' if showing else ' (hidden)'}")
    for child in accessible:
        if child is not None:
            dump(child, depth + 1)


def main(argv):
    if len(argv) not in (2, 3):
        sys.exit(__doc__)
    application = find_application(argv[1], float(argv[2]) if len(argv) == 3 else 10)
    if application is None:
        sys.exit(f"{argv[1]} is not on the accessibility bus")
    dump(application, 0)


if __name__ == "__main__":
    main(sys.argv)
