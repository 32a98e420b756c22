"""Shared by the tests of `import tachyra`: zrf-sim processes on this run's own
loopback addresses (TACHYRA_TEST_ADDRESSES, e.g. "22-25" for 127.0.0.22 to
.25; this area owns .22 to .37), the instrument's side read from the
simulator's --trace lines and its state file, and child interpreters for
what needs a process of its own (Ctrl-C, the exit)."""
import json
import os
import shutil
import signal
import struct
import subprocess
import sys
import tempfile
import time

import pytest

SIM = os.environ["ZRF_SIM"]
LEVELS = [0.11, 0.12, 0.13, 0.14, 0.15, 0.16, 0.17, 0.18]  # volts, told apart
MV = [110, 120, 130, 140, 150, 160, 170, 180]
READS = {0x0B, 0x0C, 0x0D, 0x0E, 0x23, 0x24, 0x26}  # everything else changes the instrument
SDAC, WEEP, COUNT = 0x20, 0x0A, 0x23

_first, _last = (int(n) for n in os.environ.get("TACHYRA_TEST_ADDRESSES", "22-37").split("-"))
_free = ["127.0.0.%d" % n for n in range(_first, _last + 1)]


def sdac(channel, volts):
    return (SDAC, struct.pack("<dd", channel, volts))


def doubles(payload):
    return list(struct.unpack("<%dd" % (len(payload) // 8), payload))


class Sim:
    """zrf-sim with --trace and a state file; `frames` lists (code, payload)."""

    def __init__(self, *args, pty=False, listen=True):
        self.dir = tempfile.mkdtemp(prefix="tpy-")
        self.addr = _free.pop(0)
        self.state = os.path.join(self.dir, "state.json")
        with open(self.state, "w") as f:
            json.dump({"thresholds": LEVELS, "periodMs": 50, "dhcp": False, "ip": "192.168.1.50",
                       "netmask": "255.255.255.0", "gateway": "192.168.1.1"}, f)
        self.log = open(os.path.join(self.dir, "trace"), "w+")
        self.proc = None
        if listen:
            self.proc = subprocess.Popen([SIM, "--listen", self.addr + ":1234", "--trace", "--state", self.state,
                                          *(["--pty"] if pty else []), *args],
                                         stdout=self.log, stderr=subprocess.STDOUT)
            self.wait_for("listening on")
            self.pty = self.wait_for("pty: ").split("pty: ")[1] if pty else None

    def wait_for(self, text, seconds=5):
        end = time.monotonic() + seconds
        while time.monotonic() < end:
            for line in self.lines():
                if text in line:
                    return line
            time.sleep(0.02)
        raise AssertionError("simulator never said " + text)

    def lines(self):
        self.log.seek(0)
        return self.log.read().splitlines()

    def frames(self):
        requests = [line.split(" ") + [""] for line in self.lines() if line.startswith("request ")]
        return [(int(r[1], 16), bytes.fromhex(r[2])) for r in requests]

    def writes(self):
        """What changed the instrument, in order."""
        return [f for f in self.frames() if f[0] not in READS]

    def stored(self):
        with open(self.state) as f:
            return json.load(f)

    def close(self):
        if self.proc:
            self.proc.terminate()
            self.proc.wait(5)
        self.log.close()
        shutil.rmtree(self.dir)
        _free.append(self.addr)


@pytest.fixture
def sim(request):
    """Makes simulators, stopped after the test."""
    made = []

    def make(*args, **kw):
        s = Sim(*args, **kw)
        made.append(s)
        return s

    yield make
    for s in made:
        s.close()


def levels_now(tachyra, sim):
    """The instrument's levels in mV as a fresh connection reads them."""
    with tachyra.connect(tcp=sim.addr) as dev:
        return list(dev.thresholds_mv)


class Child:
    """A script in a Python of its own (the module on its path), its lines read as they come."""

    def __init__(self, code, env=None):
        # Ctrl-C raises KeyboardInterrupt even where this run was started with SIGINT ignored (a
        # background job), which the child would inherit.
        code = "import signal; signal.signal(signal.SIGINT, signal.default_int_handler)\n" + code
        self.proc = subprocess.Popen([sys.executable, "-c", code], stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                     text=True, env={**os.environ, **(env or {})})

    def expect(self, text):
        line = self.proc.stdout.readline()
        assert text in line, (line, self.proc.stderr.read() if not line else "")
        return line

    def interrupt(self):
        self.proc.send_signal(signal.SIGINT)

    def finish(self, seconds=30):
        out, err = self.proc.communicate(timeout=seconds)
        return self.proc.returncode, out, err


@pytest.fixture
def child():
    made = []

    def make(code, **kw):
        c = Child(code, **kw)
        made.append(c)
        return c

    yield make
    for c in made:
        if c.proc.poll() is None:
            c.proc.kill()
            c.proc.communicate()
