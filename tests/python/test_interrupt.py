"""Ctrl-C (SIGINT to a child Python while it waits, as a notebook kernel interrupts), the
interpreter's exit and the LAN scan, the instrument's side checked in the simulator."""
import signal
import struct
import sys
import time

import pytest
from conftest import MV, SDAC, SIM, expect
from simhelper import NETNS, scan_between_namespaces

# The handler dawdles before it raises: readings come in behind the ones the read had gathered.
READ = """
import os, time, numpy, tachyra
def dawdle(*_):
    time.sleep(0.3)
    raise KeyboardInterrupt
signal.signal(signal.SIGINT, dawdle)
dev = tachyra.connect(tcp=os.environ["SIM"])
print("reading", flush=True)
try:
    dev.read(10**6)
except KeyboardInterrupt:
    r = dev.read()
    print("interrupted", len(r), dev.connected, (numpy.diff(r.elapsed_s) > 0).all(), dev.period_ms, flush=True)
dev.close()
"""

SWEEP = """
import os, tachyra
dev = tachyra.connect(tcp=os.environ["SIM"])
print("sweeping", flush=True)
try:
    dev.sweep(5, 0, 1000, 10)
except KeyboardInterrupt:
    print("interrupted", flush=True)
dev.close()
"""

EXIT = """
import os, threading, time, tachyra
dev = tachyra.connect(tcp=os.environ["SIM"])
idle = tachyra.connect(tcp=os.environ["SIM"])
def wait():
    try:
        dev.read(10**6)
    except tachyra.DeviceError as e:
        # Not print(): stdout's lock held by a daemon thread at exit aborts the interpreter.
        os.write(1, b"read ended: %s\\n" % str(e).encode())
threading.Thread(target=wait, daemon=True).start()
dev.set_threshold(1, 111)
# Within the EEPROM hold-off of the write before: this level's write is held back.
threading.Thread(target=dev.set_threshold, args=(2, 222), daemon=True).start()
time.sleep(0.2)
print("leaving", flush=True)
"""


def test_ctrl_c_during_a_read(sim, child):
    c = child(READ, env={"SIM": sim().addr})
    expect(c, "reading")
    time.sleep(0.5)
    c.send_signal(signal.SIGINT)
    # What the read had gathered stays, in order before what came since; the link still answers.
    _, taken, connected, ordered, period = expect(c, "interrupted").split()
    assert (int(taken) >= 5, connected, ordered, period) == (True, "True", "True", "50")
    assert c.wait(30) == 0


def test_ctrl_c_during_a_sweep_puts_the_levels_back(sim, child):
    s = sim("--delay", "100")  # every reply 100 ms late: putting eight levels back takes 0.8 s
    c = child(SWEEP, env={"SIM": s.addr})
    expect(c, "sweeping")
    levels = lambda: [struct.unpack("<dd", p) for code, p in s.frames() if code == SDAC]
    steps = lambda: len([lv for lv in levels() if lv[0] == 5])
    while steps() < 3:
        time.sleep(0.02)
    c.send_signal(signal.SIGINT)
    expect(c, "interrupted")
    # The sweep stopped, and raised only once the instrument had taken every level back.
    assert levels()[-8:] == [(ch, mv / 1000) for ch, mv in enumerate(MV)] and steps() < 10
    assert c.wait(30) == 0


def test_exit_closes_every_link(sim, child):
    s = sim()
    c = child(EXIT, env={"SIM": s.addr})
    expect(c, "leaving")
    out, err = c.communicate(timeout=15)
    # The waiting thread hears of the close, unless the interpreter ends it first (even mid-write).
    assert (c.returncode, err) == (0, "") and "read ended: Not connected\n".startswith(out)
    # The level held back at exit was stored before the link closed.
    assert s.stored()["thresholds"][1:3] == [0.111, 0.222]


@pytest.mark.skipif(not NETNS, reason="needs root and iproute2")
def test_scan_in_own_namespaces():
    """scan() as the client's TCP mode does, never on this machine's own networks."""
    r = scan_between_namespaces("tpy", "10.231.79", SIM, sys.executable, "-c", "import tachyra; print(tachyra.scan())")
    assert (r.returncode, r.stdout, r.stderr) == (0, "['10.231.79.2']\n", "")
