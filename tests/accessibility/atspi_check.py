"""The client as a screen reader meets it over AT-SPI.

Finds the client among the desktop's applications, walks its tree the way a
screen reader does and checks that every control one can operate has a name,
that nothing out of sight is in it, and that the connect button, the channel
cards and the record button are found by name. Then presses Connect through
its accessibility action and waits for the cards to show the instrument's
counts, each new count told as a value change.

Run by atspi-run inside an AT-SPI session, with the client started against
the simulated instrument. Prints the count of controls and of those without
a name.
"""

import math
import re
import sys
import time

import pyatspi
from gi.repository import GLib

APP = "Tachyra Client"
# AT-SPI 2.56 says "button" where 2.46 said "push button".
PUSH_BUTTON = {"push button", "button"}
INTERACTIVE = PUSH_BUTTON | {"toggle button", "check box", "radio button", "combo box", "text",
               "spin button", "slider", "page tab", "menu item", "entry", "password text", "list item"}


# The last walk of the window, shown with a failure.
last_walk = []


def fail(message):
    print("atspi: FAIL: " + message)
    for _, role, name, path in last_walk:
        print("atspi:   %s%s %r" % ("  " * len(path), role, name))
    sys.exit(1)


def find_app(timeout=30):
    end = time.time() + timeout
    while time.time() < end:
        desktop = pyatspi.Registry.getDesktop(0)
        for i in range(desktop.childCount):
            app = desktop.getChildAtIndex(i)
            if app is not None and app.name == APP:
                return app
        time.sleep(0.3)
    fail("no application named %r on the accessibility bus" % APP)


def walk(node, path=()):
    """Every node below `node` as (node, role, name, names of its ancestors)."""
    out = _walk(node, path)
    last_walk[:] = out
    return out


def _walk(node, path):
    out = []
    try:
        role, name = node.getRoleName(), node.name
    except Exception:  # a node that went away while walking
        return out
    out.append((node, role, name, path))
    for i in range(node.childCount):
        child = node.getChildAtIndex(i)
        if child is not None:
            out.extend(_walk(child, path + (name,)))
    return out


def named(nodes, role, name):
    roles = PUSH_BUTTON if role in PUSH_BUTTON else {role}
    found = [n for n, r, nm, _ in nodes if r in roles and nm == name]
    return found[0] if found else None


def cards_of(nodes):
    return [n for n, r, nm, path in nodes if r == "list item" and path and path[-1] == "Channel cards"]


def said(name, channel):
    """The count a card's name says ("CH 3, 1234 counts per gate"), or None."""
    m = re.fullmatch(r"CH %d, (\S+) counts per gate" % channel, name)
    return float(m.group(1)) if m else None


def press(node):
    action = node.queryAction()
    for i in range(action.nActions):
        if action.getName(i).lower() == "press":
            return action.doAction(i)
    fail("%r has no press action" % node.name)


def wait_for(condition, what, timeout=20):
    end = time.time() + timeout
    while time.time() < end:
        result = condition()
        if result:
            return result
        time.sleep(0.2)
    fail("timed out waiting for " + what)


def main():
    app = find_app()
    frame = wait_for(lambda: app.childCount > 0 and app.getChildAtIndex(0), "the main window")

    nodes = walk(frame)
    controls = [(r, nm) for _, r, nm, _ in nodes if r in INTERACTIVE]
    unnamed = [r for r, nm in controls if not nm]
    print("atspi: %d nodes, %d controls one can operate, %d of them without a name"
          % (len(nodes), len(controls), len(unnamed)))
    if unnamed:
        fail("controls without a name: %s" % ", ".join(unnamed))
    hidden = [(r, nm) for n, r, nm, _ in nodes if not n.getState().contains(pyatspi.STATE_SHOWING)]
    if hidden:
        fail("out of sight but in the tree: %s" % hidden)

    connect = named(nodes, "push button", "Connect")
    record = named(nodes, "check box", "Record")
    cards = cards_of(nodes)
    if connect is None or record is None:
        fail("Connect or Record not found by name")
    if [c.name for c in cards] != ["CH %d, no reading" % i for i in range(8)]:
        fail("cards before the link: %s" % [c.name for c in cards])
    # Qt Quick tells AT-SPI that a control is disabled only from Qt 6.5 on.
    try:
        toolkit = tuple(int(p) for p in app.queryApplication().version.split(".")[:2])
    except Exception:
        toolkit = (0, 0)
    tells_disabled = toolkit >= (6, 5)
    if tells_disabled and record.getState().contains(pyatspi.STATE_ENABLED):
        fail("Record is enabled without a link")

    # Value changes of the cards from now on.
    changes = {"value": 0}

    def on_change(event):
        try:
            if event.source.getRoleName() == "list item" and event.source.parent.name == "Channel cards":
                changes["value"] += 1
        except Exception:
            return

    pyatspi.Registry.registerEventListener(on_change, "object:property-change:accessible-value")

    # The simulator's pseudo-terminal is the port chosen, as the box says.
    wait_for(lambda: any(r == "combo box" and nm.startswith("Serial port: /dev/pts/") for _, r, nm, _ in walk(frame)),
             "the simulator's port in the box")
    press(connect)
    wait_for(lambda: named(walk(frame), "push button", "Disconnect"), "the button to say Disconnect")
    cards = cards_of(walk(frame))

    def live_counts():
        values = [c.queryValue().currentValue for c in cards]
        ok = all(math.isfinite(v) and v > 0 for v in values)
        return ok and all(said(c.name, i) == v for i, (c, v) in enumerate(zip(cards, values))) and values

    values = wait_for(live_counts, "counts on the cards")
    print("atspi: cards after Connect: " + ", ".join("%s %g" % (c.name, v) for c, v in zip(cards, values)))
    if tells_disabled and not record.getState().contains(pyatspi.STATE_ENABLED):
        fail("Record is not enabled with a link")

    # Readings keep coming: their events are gathered for three seconds.
    GLib.timeout_add(3000, pyatspi.Registry.stop)
    pyatspi.Registry.start()
    print("atspi: in 3 s the cards told %d value changes" % changes["value"])
    if changes["value"] == 0:
        fail("no value change from the cards")
    print("atspi: PASS")


if __name__ == "__main__":
    main()
