#!/usr/bin/python3
"""press.py NAME SECONDS: presses the button NAME of the first application on the accessibility
bus that shows one, through AT-SPI, as a screen reader would; exit 1 when none is shown in time.
No X server is needed: it drives the installer on a Wayland display, where no client may send
another input."""
import sys
import time

import pyatspi


def find(node, depth=0):
    if node is None or depth > 30:
        return None
    if node.getRoleName() == "push button" and node.name == sys.argv[1]:
        return node
    for i in range(node.childCount):
        found = find(node.getChildAtIndex(i), depth + 1)
        if found is not None:
            return found
    return None


deadline = time.monotonic() + float(sys.argv[2])
while time.monotonic() < deadline:
    try:
        button = find(pyatspi.Registry.getDesktop(0))
        if button is not None:
            button.queryAction().doAction(0)
            sys.exit(0)
    except Exception:  # an application still coming up on the bus
        pass
    time.sleep(0.2)
sys.exit(1)
