"""Every operation of the module against zrf-sim: its result, and what the
instrument received or stored."""
import ast
import datetime
import os
import struct
import threading
import time

import numpy as np
import pytest
import tachyra
from conftest import MV, SDAC, sdac


def test_links_over_tcp_and_a_pty(sim, monkeypatch):
    s = sim(pty=True)
    monkeypatch.setenv("TACHYRA_EXTRA_PORTS", s.pty + ":/dev/nonexistent-port")
    ports = tachyra.ports()
    assert (ports[0].name, ports[0].description, ports[0].preferred) == (s.pty, "named in TACHYRA_EXTRA_PORTS", False)
    for how in ({"serial": s.pty}, {}, {"tcp": s.addr}):  # {}: the port the client would pick
        with tachyra.connect(**how) as dev:
            assert (dev.connected, dev.link, dev.period_ms) == (True, how.get("tcp", s.pty), 50)
        assert not dev.connected
    assert s.writes() == []


def test_settings(sim):
    s = sim()
    with tachyra.connect(tcp=s.addr) as dev:
        dev.period_ms = 250
        dev.period_ms = 60000.0  # a whole number as a float is taken
        assert (dev.thresholds_mv.dtype, list(dev.thresholds_mv)) == (np.float64, MV)
        dev.set_threshold(3, 250)
        assert s.stored()["thresholds"][3] == 0.25  # the write is waited for
        dev.set_threshold("all", 40.5)
        dev.thresholds_mv = [100, 200, 300, 400, 500, 600, 700, 800]
        dev.thresholds_mv = 120
        net = dev.network
        assert (net.mode, net.dhcp, net.ip, net.netmask, net.gateway) == (
            "Static", False, "192.168.1.50", "255.255.255.0", "192.168.1.1")
        dev.set_network(ip="192.168.1.5", netmask="255.255.0.0", gateway="0.0.0.0")
        assert (dev.network.ip, dev.network.netmask, dev.network.gateway) == ("192.168.1.5", "255.255.0.0", "0.0.0.0")
        dev.set_network(dhcp=True)
        assert dev.network.dhcp and s.stored()["dhcp"]
    assert [f for f in s.writes() if f[0] in (SDAC, 0x25)] == [
        (0x25, struct.pack("<d", 250)), (0x25, struct.pack("<d", 60000)), sdac(3, 0.25), sdac(15, 0.0405),
        *(sdac(ch, (ch + 1) / 10) for ch in range(8)), sdac(15, 0.12)]


def test_readings(sim):
    s = sim("--counts", "1,nan,inf,-inf,-0,1e308,1e-310,8", period_ms=40)
    before = np.datetime64(datetime.datetime.now(datetime.timezone.utc).replace(tzinfo=None), "ms")
    with tachyra.connect(tcp=s.addr) as dev:
        r = dev.read(5)
        assert {k: (v.dtype.str, v.shape) for k, v in r.as_dict().items()} == {
            "counts": ("<f8", (5, 8)), "time": ("<M8[ms]", (5,)), "elapsed_s": ("<f8", (5,)),
            "period_ms": ("<i8", (5,)), "thresholds_mv": ("<f8", (5, 8)), "sweep": ("|b1", (5,))}
        expected = np.array([1, np.nan, np.inf, -np.inf, -0.0, 1e308, 1e-310, 8])
        assert all(np.array_equal(row, expected, equal_nan=True) for row in r.counts)
        assert np.signbit(r.counts[:, 4]).all()
        assert (r.period_ms == 40).all() and not r.sweep.any()
        # Seconds, on the same tick as the time column.
        assert (np.diff(r.elapsed_s) > 0).all() and 0 <= r.elapsed_s[0] < 10
        assert np.allclose(np.diff(r.elapsed_s), np.diff(r.time) / np.timedelta64(1, "s"), atol=0.01)
        assert before <= r.time[0] <= r.time[-1] <= before + np.timedelta64(60, "s")
        # The first reading is the opening's, before the levels were read.
        known = ~np.isnan(r.thresholds_mv).any(axis=1)
        assert (r.thresholds_mv[known] == MV).all() and known[1:].all()
        one = r[-1]
        assert (one.period_ms, one.sweep, one.time, one.elapsed_s) == (40, False, r.time[-1], r.elapsed_s[-1])
        assert len(r[1:3]) == 2 and r[1:3].time[0] == r.time[1]
        with pytest.raises(IndexError):
            r[5]

        later = dev.read(seconds=0.3)
        assert 1 <= len(later) and later.time[0] >= r.time[-1]
        assert len(dev.read(0)) == 0
        dev.clear()
        assert dev.buffered == 0 and len(dev.read()) == 0
        stream = dev.stream()
        first, second = next(stream), next(stream)
        assert first.elapsed_s < second.elapsed_s and first.counts.shape == (8,)
        batch = next(dev.stream(batches=True))
        assert len(batch) >= 1 and batch.elapsed_s[0] > second.elapsed_s


def test_stream_ends_when_closed(sim):
    dev = tachyra.connect(tcp=sim().addr)
    got = []
    reader = threading.Thread(target=lambda: got.extend(r.elapsed_s for r in dev.stream()))
    reader.start()
    dev.read(3)  # the stream takes readings too; these come after
    dev.close()
    reader.join(10)
    assert not reader.is_alive() and got == sorted(got)


def test_sweep(sim):
    s = sim()
    with tachyra.connect(tcp=s.addr) as dev:
        dev.clear()
        points = dev.sweep(2, 100, 0, -25)
        assert (points.channel, list(points.threshold_mv), len(points.counts)) == (2, [100, 75, 50, 25, 0], 5)
        assert points.time.dtype == np.dtype("M8[ms]") and (np.diff(points.time) >= np.timedelta64(0)).all()
        assert (points.counts >= 0).all() and list(dev.thresholds_mv) == MV
        swept = dev.read()
        assert list(swept.counts[swept.sweep][:, 2]) == list(points.counts)


def test_two_instruments_at_once(sim):
    # The first never tells its levels: its readings say so with NaN, not placeholders.
    a, b = sim("--counts", "1,1,1,1,1,1,1,1", "--reject", "0x26"), sim("--counts", "2,2,2,2,2,2,2,2")
    with tachyra.connect(tcp=a.addr) as one, tachyra.connect(tcp=b.addr) as two:
        got = {}
        readers = [threading.Thread(target=lambda d=d: got.__setitem__(d.link, d.read(20))) for d in (one, two)]
        for t in readers:
            t.start()
        two.set_threshold(5, 300)  # while both read
        for t in readers:
            t.join(30)
        assert (got[a.addr].counts == 1).all() and (got[b.addr].counts == 2).all()
        assert np.isnan(got[a.addr].thresholds_mv).all() and two.thresholds_mv[5] == 300
    assert a.writes() == []


def test_closed_device(sim):
    with tachyra.connect(tcp=sim().addr) as dev:
        dev.read(2)
        time.sleep(0.2)
    left = dev.buffered  # the reply on the wire at the close is taken too
    assert "closed" in repr(dev) and left >= 1
    assert len(dev.read()) == left  # what was taken stays readable
    for action in (lambda: dev.period_ms, lambda: dev.set_threshold(1, 100), lambda: dev.read(1), dev.read):
        with pytest.raises(tachyra.DeviceError) as e:
            action()
        assert (type(e.value), str(e.value), e.value.code) == (tachyra.DeviceError, "Not connected", "NotConnected")
    assert list(dev.stream()) == []
    dev.close()  # twice is fine


def test_stub_matches_the_module():
    """Every name the .pyi beside the module promises is there, and the module has none it leaves out."""
    stub = ast.parse(open(os.path.join(os.path.dirname(tachyra.__file__), "tachyra.pyi")).read())
    promised = {}
    for node in stub.body:
        if isinstance(node, ast.ClassDef):
            promised[node.name] = {n.name if isinstance(n, ast.FunctionDef) else n.target.id for n in node.body
                                   if isinstance(n, (ast.FunctionDef, ast.AnnAssign))}
        elif isinstance(node, (ast.FunctionDef, ast.AnnAssign)):
            promised[getattr(node, "name", None) or node.target.id] = set()
    public = {name for name in dir(tachyra) if not name.startswith("_")} | {"__version__"}
    assert set(promised) - {"Float64Array"} == public
    for name, members in promised.items():
        if name == "DeviceError":
            members -= {"message", "code"}  # set on each raised one (test_errors checks them)
        missing = [m for m in members if not hasattr(getattr(tachyra, name, None), m)]
        assert not missing, (name, missing)
