"""The client as a screen reader meets it over AT-SPI.

Finds the client among the desktop's applications, walks its tree the way a
screen reader does and checks that every control one can operate has a name,
that nothing out of sight is in it, and that the connect button, the channel
cards and the record button are found by name. Then presses Connect through
its accessibility action and waits for the cards to show the instrument's
counts, each new count told as a value change and never as a new name.

Run by atspi-run inside an AT-SPI session, with the client started against
the simulated instrument. Prints the count of controls and of those without
a name.
"""

import math
import sys
import time

import pyatspi
from gi.repository import GLib

APP = "Tachyra Client"
# AT-SPI 2.56 says "button" where 2.46 said "push button".
PUSH_BUTTON = {"push button", "button"}
INTERACTIVE = PUSH_BUTTON | {"toggle button", "check box", "radio button", "combo box", "text",
               "spin button", "slider", "page tab", "menu item", "entry", "password text"}


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
    return [n for n, r, nm, path in nodes if r == "label" and path and path[-1] == "Channel cards"]


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
    if [c.name for c in cards] != ["CH %d" % i for i in range(8)]:
        fail("cards: %s" % [c.name for c in cards])
    if any(c.description != "no reading" for c in cards):
        fail("a card shows a reading before the link")
    # Qt Quick tells AT-SPI that a control is disabled only from Qt 6.5 on.
    try:
        toolkit = tuple(int(p) for p in app.queryApplication().version.split(".")[:2])
    except Exception:
        toolkit = (0, 0)
    tells_disabled = toolkit >= (6, 5)
    if tells_disabled and record.getState().contains(pyatspi.STATE_ENABLED):
        fail("Record is enabled without a link")

    # Value and name changes of the cards from now on.
    changes = {"value": 0, "name": 0}

    def on_change(event):
        source = event.source
        try:
            is_card = source.getRoleName() == "label" and source.parent.name == "Channel cards"
        except Exception:
            return
        if is_card:
            changes["value" if event.type.endswith("accessible-value") else "name"] += 1

    pyatspi.Registry.registerEventListener(on_change, "object:property-change:accessible-value",
                                           "object:property-change:accessible-name")

    # The simulator's pseudo-terminal is the port chosen, as the box says.
    wait_for(lambda: any(r == "combo box" and nm.startswith("Serial port: /dev/pts/") for _, r, nm, _ in walk(frame)),
             "the simulator's port in the box")
    press(connect)
    wait_for(lambda: named(walk(frame), "push button", "Disconnect"), "the button to say Disconnect")
    cards = cards_of(walk(frame))

    def live_counts():
        values = [c.queryValue().currentValue for c in cards]
        ok = all(math.isfinite(v) and v > 0 for v in values)
        return ok and all(c.description == "counts / gate" for c in cards) and values

    values = wait_for(live_counts, "counts on the cards")
    print("atspi: cards after Connect: " + ", ".join("%s %g" % (c.name, v) for c, v in zip(cards, values)))
    if tells_disabled and not record.getState().contains(pyatspi.STATE_ENABLED):
        fail("Record is not enabled with a link")

    # Readings keep coming: their events are gathered for three seconds.
    GLib.timeout_add(3000, pyatspi.Registry.stop)
    pyatspi.Registry.start()
    print("atspi: in 3 s the cards told %d value changes and %d name changes" % (changes["value"], changes["name"]))
    if changes["value"] == 0:
        fail("no value change from the cards")
    if changes["name"] != 0:
        fail("the cards' names changed with their counts")
    print("atspi: PASS")


if __name__ == "__main__":
    main()
