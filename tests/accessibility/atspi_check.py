"""The client over AT-SPI, run by atspi-run: Connect pressed through its action links to the
simulator's pseudo-terminal (the port the box names); the cards' counts come as value changes.
"""

import math, re, sys, time

import pyatspi
from gi.repository import GLib

APP = "Tachyra Client"
# AT-SPI 2.56 says "button" where 2.46 said "push button".
PUSH_BUTTON = {"push button", "button"}
last_walk = []  # shown with a failure


def fail(message):
    print("atspi: FAIL: " + message)
    for _, role, name, path in last_walk:
        print("atspi:   %s%s %r" % ("  " * len(path), role, name))
    sys.exit(1)


def wait_for(condition, what, timeout=20):
    end = time.time() + timeout
    while time.time() < end:
        result = condition()
        if result:
            return result
        time.sleep(0.2)
    fail("timed out waiting for " + what)


def walk(node, path=(), top=True):
    """Every node below `node` as (node, role, name, names of its ancestors)."""
    try:
        out = [(node, node.getRoleName(), node.name, path)]
    except Exception:  # a node that went away while walking
        return []
    for i in range(node.childCount):
        child = node.getChildAtIndex(i)
        if child is not None:
            out.extend(walk(child, path + (out[0][2],), False))
    if top:
        last_walk[:] = out
    return out


def named(nodes, role, name):
    roles = PUSH_BUTTON if role in PUSH_BUTTON else {role}
    return next((n for n, r, nm, _ in nodes if r in roles and nm == name), None)


def press(node):
    action = node.queryAction()
    for i in range(action.nActions):
        if action.getName(i).lower() == "press":
            return action.doAction(i)
    fail("%r has no press action" % node.name)


def main():
    def find_app():
        desktop = pyatspi.Registry.getDesktop(0)
        apps = (desktop.getChildAtIndex(i) for i in range(desktop.childCount))
        return next((a for a in apps if a is not None and a.name == APP), None)

    app = wait_for(find_app, "an application named %r on the accessibility bus" % APP, 30)
    frame = wait_for(lambda: app.childCount > 0 and app.getChildAtIndex(0), "the main window")
    connect = wait_for(lambda: named(walk(frame), "push button", "Connect"), "Connect, found by name")

    changes = {"value": 0}  # value changes of the cards from now on

    def on_change(event):
        try:
            changes["value"] += (event.source.getRoleName() == "list item"
                                 and event.source.parent.name == "Channel cards")
        except Exception:
            return

    pyatspi.Registry.registerEventListener(on_change, "object:property-change:accessible-value")
    # The simulator's pseudo-terminal is the port chosen, as the box says.
    wait_for(lambda: any(r == "combo box" and nm.startswith("Serial port: /dev/pts/") for _, r, nm, _ in walk(frame)),
             "the simulator's port in the box")
    press(connect)
    wait_for(lambda: named(walk(frame), "push button", "Disconnect"), "the button to say Disconnect")
    cards = [n for n, r, _, path in walk(frame) if r == "list item" and path and path[-1] == "Channel cards"]

    def live_counts():
        values = [c.queryValue().currentValue for c in cards]
        said = [re.fullmatch(r"CH %d, (\S+) counts per gate" % i, c.name) for i, c in enumerate(cards)]
        ok = all(math.isfinite(v) and v > 0 and m and float(m.group(1)) == v for v, m in zip(values, said))
        return ok and values

    values = wait_for(live_counts, "counts on the cards")
    print("atspi: cards after Connect: " + ", ".join("%s %g" % (c.name, v) for c, v in zip(cards, values)))
    # Readings keep coming: their events are gathered for three seconds.
    GLib.timeout_add(3000, pyatspi.Registry.stop)
    pyatspi.Registry.start()
    print("atspi: in 3 s the cards told %d value changes" % changes["value"])
    if changes["value"] == 0:
        fail("no value change from the cards")
    print("atspi: PASS")


if __name__ == "__main__":
    main()
