"""Ctrl-C, the interpreter's exit, a notebook kernel and the LAN scan, each in
a Python of its own: SIGINT to that child while it waits, the instrument's
side checked in the simulator."""
import os
import shutil
import struct
import subprocess
import sys
import time

import pytest
import tachyra
from conftest import MV, SDAC, SIM, WEEP, levels_now

READ = """
import os, tachyra
dev = tachyra.connect(tcp=os.environ["SIM"])
print("reading", flush=True)
try:
    dev.read(10**6)
except KeyboardInterrupt:
    print("interrupted", len(dev.read()), dev.connected, flush=True)
dev.close()
"""

SWEEP = """
import os, tachyra
dev = tachyra.connect(tcp=os.environ["SIM"])
print("sweeping", flush=True)
try:
    dev.sweep(5, 0, 1000, 10)
except KeyboardInterrupt:
    print("interrupted", list(dev.thresholds_mv) == %r, flush=True)
dev.close()
""" % [float(v) for v in MV]

EXIT = """
import os, threading, time, tachyra
dev = tachyra.connect(tcp=os.environ["SIM"])
idle = tachyra.connect(tcp=os.environ["SIM"])
def wait():
    try:
        dev.read(10**6)
    except tachyra.DeviceError as e:
        print("read ended: %s" % e, flush=True)
threading.Thread(target=wait, daemon=True).start()
dev.set_threshold(1, 111)
# Within the EEPROM hold-off of the write before: this level's write is held back.
threading.Thread(target=dev.set_threshold, args=(2, 222), daemon=True).start()
time.sleep(0.2)
print("leaving", flush=True)
"""


def test_ctrl_c_during_a_read(sim, child):
    s = sim()
    c = child(READ, env={"SIM": s.addr})
    c.expect("reading")
    time.sleep(0.5)
    c.interrupt()
    _, taken, connected = c.expect("interrupted").split()
    assert int(taken) >= 5 and connected == "True"  # what the read had gathered stays
    assert c.finish()[0] == 0


def test_ctrl_c_during_a_sweep_puts_the_levels_back(sim, child):
    s = sim("--delay", "100")  # every reply 100 ms late: putting eight levels back takes 0.8 s
    c = child(SWEEP, env={"SIM": s.addr})
    c.expect("sweeping")
    steps = lambda: [p for code, p in s.frames() if code == SDAC and struct.unpack("<dd", p)[0] == 5]
    while len(steps()) < 3:
        time.sleep(0.02)
    c.interrupt()
    c.expect("interrupted True")
    # Raised only once the instrument had taken every level back.
    frames = s.frames()
    restore = [struct.unpack("<dd", p) for code, p in frames if code == SDAC][-8:]
    assert restore == [(ch, mv / 1000) for ch, mv in enumerate(MV)]
    assert c.finish()[0] == 0
    assert len(steps()) < 10 and WEEP not in [code for code, _ in s.frames()]
    assert levels_now(tachyra, s) == MV


def test_exit_closes_every_link(sim, child):
    s = sim()
    c = child(EXIT, env={"SIM": s.addr})
    c.expect("leaving")
    code, out, err = c.finish(15)
    # The waiting thread hears of the close, unless the interpreter ends it first (even mid-print).
    assert (code, err) == (0, "") and "read ended: Not connected\n".startswith(out)
    # The level held back at exit was stored before the link closed.
    assert s.stored()["thresholds"][1:3] == [0.111, 0.222]


def test_in_a_notebook_kernel(sim):
    manager = pytest.importorskip("jupyter_client.manager")
    s = sim()
    km, kc = manager.start_new_kernel(kernel_name="python3")
    try:
        def run(code, timeout=30):
            for _ in range(10):  # the kernel aborts requests that come just after an error
                reply = kc.execute_interactive(code, timeout=timeout, output_hook=lambda msg: None)
                if reply["content"]["status"] != "aborted":
                    break
                time.sleep(0.2)
            return reply["content"]

        assert run("import tachyra; dev = tachyra.connect(tcp=%r); len(dev.read(3))" % s.addr)["status"] == "ok"
        kc.execute("dev.read(10**6)")
        time.sleep(1)
        km.interrupt_kernel()
        reply = kc.get_shell_msg(timeout=10)["content"]
        assert (reply["status"], reply.get("ename")) == ("error", "KeyboardInterrupt")
        assert run("dev.connected and dev.period_ms")["status"] == "ok"
        assert run("dev.close()")["status"] == "ok"
    finally:
        kc.stop_channels()
        km.shutdown_kernel(now=True)


@pytest.mark.skipif(os.geteuid() != 0 or not shutil.which("ip"), reason="needs root and iproute2")
def test_scan_in_own_namespaces(child):
    """scan() as the client's TCP mode does, between two network namespaces made here (never on this
    machine's own networks)."""
    tag = str(os.getpid())
    client, server = "tpy-c-" + tag, "tpy-s-" + tag
    ip = lambda *a: subprocess.run(["ip", *a], check=True, capture_output=True)
    for name in os.listdir("/run/netns") if os.path.isdir("/run/netns") else []:
        if name.startswith("tpy-") and not os.path.exists("/proc/" + name.split("-")[-1]):
            subprocess.run(["ip", "netns", "del", name], capture_output=True)  # left by a killed run
    try:
        ip("netns", "add", client)
        ip("netns", "add", server)
        ip("link", "add", "tpyc" + tag, "netns", client, "type", "veth", "peer", "name", "tpys" + tag, "netns", server)
        for ns, dev, cidr in ((client, "tpyc" + tag, "10.231.79.1/24"), (server, "tpys" + tag, "10.231.79.2/24")):
            ip("-n", ns, "addr", "add", cidr, "dev", dev)
            ip("-n", ns, "link", "set", dev, "up")
            ip("-n", ns, "link", "set", "lo", "up")
        sim = subprocess.Popen(["ip", "netns", "exec", server, SIM, "--listen", "10.231.79.2:1234",
                                "--allow-any-address"], stdout=subprocess.PIPE, text=True)
        try:
            assert "listening on" in sim.stdout.readline()
            r = subprocess.run(["ip", "netns", "exec", client, sys.executable, "-c",
                                "import tachyra; print(tachyra.scan())"], capture_output=True, text=True, timeout=60)
            assert (r.returncode, r.stdout, r.stderr) == (0, "['10.231.79.2']\n", "")
        finally:
            sim.terminate()
            sim.wait(5)
            sim.stdout.close()
    finally:
        for name in (client, server):
            subprocess.run(["ip", "netns", "del", name], capture_output=True)
