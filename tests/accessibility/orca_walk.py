"""What a blind operator hears: the client walked from the keyboard under Orca against the
simulator (127.0.0.123, fixed counts), run by atspi-run. Each key of WALK is pressed with xdotool;
at a stop Orca must have said the stop's name, its role and its value. The walk is printed as heard.
"""

import os, pty, re, subprocess, sys, threading, time, tty
from collections import namedtuple

CLIENT = sys.argv[1]
WORK = os.environ["ATSPI_WORK"]

# Keys (None: the focus at start), then the focus on (role, name), the value heard there a pattern;
# `said` is the role as spoken where it is not the role's own word.
Stop = namedtuple("Stop", "keys role name value said", defaults=(None, None))
# Keys, then an utterance that matches `heard`.
Say = namedtuple("Say", "keys heard")
# Keys, then a line of the debug file that matches `line`. Each row ends when Orca rests.
Until = namedtuple("Until", "keys line")
# Text typed; nothing waited for (the next key comes after it).
Type = namedtuple("Type", "text")

# AT-SPI 2.56 says "button" where 2.46 said "push button".
ROLES = {"push button": ("push button", "button")}
# The role as Orca says it; None where it says none (a list says its items).
SPOKEN = {"push button": ("push button", "button"), "text": ("text", "entry"), "list item": None}

B = "push button"
CHECKED, UNCHECKED = r"(?<!not )checked", r"not checked"
SELECTED, UNSELECTED = r"(?<!not )selected", r"not selected"
COUNTS = [1234, 1300, 25, 0, 98765, 5, 777, 4321]
VIEWS = ["Cards", "Counts vs time", "Bar chart", "Calibration"]


def view(n):
    """The view's key: its button on, then the later view buttons off and Settings."""
    return [Stop("ctrl+%d" % (n + 1), "check box", VIEWS[n], CHECKED),
            *(Stop("Tab", "check box", v, UNCHECKED) for v in VIEWS[n + 1:]), Stop("Tab", B, "Settings")]


WALK = [
    # Before the link: the link's kind (the focus starts there), the address, Connect.
    Stop(None, "radio button", "USB", SELECTED),
    Stop("Tab", "radio button", "TCP", UNSELECTED),
    # TCP is picked: the scan of the (empty) network takes the focus for a moment.
    Until("space", r"state-changed:showing for \[progress bar(: '| \| )Scanning TCP/IP addresses'?\].*\(0, 0,"),
    Stop("Tab", "text", "Instrument address", said="combo box"),
    Type("127.0.0.123"),
    Stop("Tab", B, "Connect"),
    Stop("shift+Tab", "text", "Instrument address", r"127\.0\.0\.123", said="combo box"),
    Stop("Tab", B, "Connect"),
    Say("space", r"Connected · 127\.0\.0\.123"),
    # The cards, each with its count, one read again, then all eight.
    *view(0), *(Stop("Tab", "list item", "CH %d, %d counts per gate" % (i, c)) for i, c in enumerate(COUNTS)),
    Say("space", r"CH 7, 4321 counts per gate"),
    Say("ctrl+shift+c", r"Counts per gate: CH 0, 1234; CH 1, 1300; CH 2, 25; CH 3, 0; CH 4, 98765; "
                        r"CH 5, 5; CH 6, 777; CH 7, 4321"),
    # The time view's legend; the bars and the rest of the pages' names and Tab order: tst_keyboard_session.
    *view(1), *(Stop("Tab", "check box", "CH %d" % i, CHECKED) for i in range(8)),
    # The calibration: the sweep's channel and range.
    *view(3),
    Stop("Tab", "combo box", "Sweep channel: CH 0"),
    Stop("Tab", "text", "Sweep from, mV", r"\b0\b"),
    Stop("Tab", "text", "Sweep to, mV", r"\b1000\b"),
    Stop("Tab", "text", "Sweep step, mV", r"\b10\b"),
    # The settings: each field in its group, with its value.
    Stop("ctrl+comma", B, "Back", r"Settings"),      # the page is named as it opens
    Stop("Tab", "spin button", "Gate period, ms", r"1,000"),
    Stop("Tab", B, "Apply gate period"),
    Stop("Tab", "spin button", "Threshold of all channels, mV", r"\b0 mV"),
    Stop("Tab", B, "Set all"),
] + [Stop("Tab", "spin button", "CH %d threshold, mV" % i, r"\b100 mV") for i in range(8)] + [
    Stop("Tab", "combo box", "Network mode: Static"),
    Stop("Tab", "text", "IP address", r"192\.168\.1\.50"),
    Stop("Tab", "text", "Netmask", r"255\.255\.255\.0"),
    Stop("Tab", "text", "Gateway", r"192\.168\.1\.1\b"),
]


class Log:
    """Orca's debug file as it comes, kept in memory and in WORK/orca.log."""

    def __init__(self):
        self.master, slave = pty.openpty()
        tty.setraw(slave)
        self.path = os.ttyname(slave)
        self.lines = []
        self.last = time.time()
        # Events Orca has begun and not finished (both versions mark them so).
        self.busy = 0
        self.lock = threading.Lock()
        self.file = open(os.path.join(WORK, "orca.log"), "w")
        threading.Thread(target=self._read, daemon=True).start()

    def _read(self):
        # A pty's reader returns each line as it comes; it ends with an error once Orca is gone.
        try:
            for raw in open(self.master, "rb", closefd=False):
                line = raw.decode("utf-8", "replace").rstrip("\r\n")
                with self.lock:
                    self.lines.append(line)
                    self.busy += line.startswith("vvvvv ") - line.startswith("^^^^^ ")
                    self.last = time.time()
                self.file.write(line + "\n")
                self.file.flush()
        except OSError:
            return

    def since(self, mark):
        with self.lock:
            return self.lines[mark:]


# Orca 43 writes an object as [role | name], 48 as [role: 'name'].
OBJECT = r"\[([a-z ]+?)(?: \| (.*?)|: '(.*?)')?\]"
SPEECH = re.compile(r"SPEECH OUTPUT: '(.*)'(?: voice=\w+)?(?: ?(?:\{.*\}|None))?\s*$")
FOCUSED = re.compile(r"EVENT MANAGER: object:state-changed:focused for " + OBJECT + r" in .*\(1, 0,")
# What Orca says of a key pressed (43 adds a blank).
ECHO = re.compile(r"(tab|space|comma|(left |right )?(control|shift|alt)|.) ?")


def spoken(lines):
    return [m.group(1) for m in map(SPEECH.search, lines) if m and not ECHO.fullmatch(m.group(1))]


def focused(lines):
    """Each object that took the focus: (role, name)."""
    return [(m.group(1), m.group(2) or m.group(3) or "") for m in map(FOCUSED.search, lines) if m]


def idle(log):
    """Orca has finished every event it took up and wrote nothing for a moment."""
    with log.lock:
        return log.busy == 0 and time.time() - log.last > 0.2


def wait_for(condition, timeout=10):
    end = time.time() + timeout
    while time.time() < end:
        result = condition()
        if result:
            return result
        time.sleep(0.05)
    return None


def check_stop(step, role, name, said):
    heard = " ".join(said)
    problems = []
    if step.role and role not in ROLES.get(step.role, (step.role,)):
        problems.append("role %r, not %r" % (role, step.role))
    if step.name is not None and name != step.name:
        problems.append("name %r, not %r" % (name, step.name))
    if not name or not heard:
        problems.append("silent or unnamed")
    elif name not in heard:
        problems.append("name not heard")
    words = (step.said,) if step.said else SPOKEN.get(step.role, (step.role,)) if step.role else None
    if words and not any(w in heard for w in words):
        problems.append("role not heard as %s" % " or ".join(words))
    if step.value and not re.search(step.value, heard):
        problems.append("value %r not heard" % step.value)
    return problems


def walk(log, start):
    failures = 0
    for n, step in enumerate(WALK, 1):
        if isinstance(step, Type):
            subprocess.run(["xdotool", "type", "--delay", "40", step.text], check=True)
            print("%3d  type %s" % (n, step.text))
            continue
        # Events still queued (a text that changed) could stand in for the key's stop.
        if n > 1:
            wait_for(lambda: idle(log))
            mark = len(log.lines)
        else:
            mark = start
        began = time.time()
        if step.keys:
            subprocess.run(["xdotool", "key", "--clearmodifiers"] + step.keys.split(), check=True)
        # What is said from the key until Orca rests is heard at the stop.
        if isinstance(step, Stop):
            def at_stop():
                for role, name in focused(log.since(mark)):
                    if step.name is None or (name == step.name and role in ROLES.get(step.role, (step.role,))):
                        return (role, name) if idle(log) else None
                return None
            found = wait_for(at_stop)
            said = spoken(log.since(mark))
            if not found:
                print("%3d  %-10s FAIL: no stop at %s %r; focus went to %s; heard %s"
                      % (n, step.keys or "(start)", step.role, step.name, focused(log.since(mark)), said))
                failures += 1
                continue
            problems = check_stop(step, *found, said)
            failures += bool(problems)
            print("%3d %4.1fs %-10s [%s | %s]  %s%s" % (n, time.time() - began, step.keys or "(start)", *found,
                                                        " / ".join(said),
                                                        "  <-- " + "; ".join(problems) if problems else ""))
            continue
        wanted = step.heard if isinstance(step, Say) else step.line
        ok = wait_for(lambda: any(re.search(wanted, t) for t in (spoken if isinstance(step, Say) else list)(
            log.since(mark))) and idle(log))
        failures += not ok
        print("%3d       %-10s %s%s" % (n, step.keys, " / ".join(spoken(log.since(mark))),
                                        "" if ok else "  <-- FAIL: nothing like %r" % wanted))
    return failures


def main():
    log = Log()
    orca = subprocess.Popen(["orca", "--replace", "--debug-file=" + log.path],
                            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    client = None
    try:
        if not wait_for(lambda: spoken(log.since(0)), 30):
            print("orca: FAIL: Orca said nothing at its start")
            return 1
        client = subprocess.Popen([CLIENT], stdout=open(os.path.join(WORK, "client.log"), "w"),
                                  stderr=subprocess.STDOUT)
        mark = len(log.lines)
        # No window manager: the window is given the keyboard by hand.
        try:
            subprocess.run(["xdotool", "search", "--sync", "--name", "^Velmora$", "windowfocus", "--sync"],
                           check=True, timeout=30)
        except subprocess.TimeoutExpired:
            pass
        if not wait_for(lambda: any("Velmora" in said for said in spoken(log.since(mark))) and idle(log), 30):
            print("orca: FAIL: the window was not announced; the client said:")
            print(open(os.path.join(WORK, "client.log")).read())
            return 1
        started = time.time()
        failures = walk(log, mark)
        print("orca: %d steps in %.0f s, %d failed" % (len(WALK), time.time() - started, failures))
        if failures:
            print("orca: FAIL (ATSPI_KEEP=DIR keeps Orca's debug file)")
            return 1
        print("orca: PASS")
        return 0
    finally:
        for p in (client, orca):
            if p:
                p.terminate()
                try:
                    p.wait(10)
                except subprocess.TimeoutExpired:
                    p.kill()


if __name__ == "__main__":
    sys.exit(main())
