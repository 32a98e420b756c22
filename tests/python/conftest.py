"""Shared by the tests of `import tachyra`: zrf-sim on this run's loopback addresses
(TACHYRA_TEST_ADDRESSES, "22-25" for 127.0.0.22 to .25), and child interpreters for Ctrl-C and the exit."""
import os
import subprocess
import sys

import pytest

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "common"))
from simhelper import COUNT, LEVELS, SDAC, WEEP, Sim, sdac  # noqa: E402,F401 (the tests take them from here)

SIM = os.environ["ZRF_SIM"]
MV = [110, 120, 130, 140, 150, 160, 170, 180]
_first, _last = (int(n) for n in os.environ.get("TACHYRA_TEST_ADDRESSES", "22-37").split("-"))
_free = ["127.0.0.%d" % n for n in range(_first, _last + 1)]


@pytest.fixture
def sim():
    """Makes simulators, each on an address of its own, stopped after the test."""
    made = []

    def make(*args, **kw):
        made.append(Sim(SIM, _free.pop(0), *args, **kw))
        return made[-1]

    yield make
    for s in made:
        s.close()
        _free.append(s.addr)


def levels_now(tachyra, sim):
    """The instrument's levels in mV as a fresh connection reads them."""
    with tachyra.connect(tcp=sim.addr) as dev:
        return list(dev.thresholds_mv)


@pytest.fixture
def child():
    """Scripts in a Python of their own (the module on its path), killed after the test."""
    made = []

    def make(code, env=None):
        # Ctrl-C raises KeyboardInterrupt also where this run was started with SIGINT ignored (a background job).
        code = "import signal; signal.signal(signal.SIGINT, signal.default_int_handler)\n" + code
        made.append(subprocess.Popen([sys.executable, "-c", code], stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                     text=True, env={**os.environ, **(env or {})}))
        return made[-1]

    yield make
    for p in made:
        if p.poll() is None:
            p.kill()
        p.communicate()


def expect(proc, text):
    """The child's next line, which says TEXT."""
    line = proc.stdout.readline()
    assert text in line, (line, proc.stderr.read() if not line else "")
    return line
