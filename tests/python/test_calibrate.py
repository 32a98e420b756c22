"""dev.calibrate() against zrf-sim --detector: Ctrl-C raises once the levels
are back; the suggestions, points and spectrum, and only the suggestions
applied (the sweep's own wire sequence is tst_calibration's)."""
import signal
import time

import numpy as np
import tachyra
from conftest import MV, levels_now, sdac

CALIBRATE = """
import os, tachyra
dev = tachyra.connect(tcp=os.environ["SIM"])
print("calibrating", flush=True)
try:
    dev.calibrate([3, 1], from_mv=0, to_mv=1000, step_mv=10)
except KeyboardInterrupt:
    print("interrupted", list(dev.thresholds_mv) == %r, flush=True)
dev.close()
""" % [float(v) for v in MV]


def test_calibrate(sim, child):
    s = sim("--detector", "--seed", "1")
    c = child(CALIBRATE, env={"SIM": s.addr})
    assert c.stdout.readline() == "calibrating\n"
    while sdac(3, 1.0) not in s.frames():  # channel 3 swept to its end
        time.sleep(0.02)
    c.send_signal(signal.SIGINT)
    out, err = c.communicate(timeout=30)
    assert (c.returncode, out, levels_now(tachyra, s)) == (0, "interrupted True\n", MV), err

    with tachyra.connect(tcp=s.addr) as dev:
        r = dev.calibrate(channels=(6, 7), from_mv=0, to_mv=300, step_mv=10, apply=True)
    assert r.suggested_mv.shape == (8,) and np.isnan(r.suggested_mv[:6]).all() and r.reasons[0] == ""
    for ch in (6, 7):
        assert r.reason_keys[ch] == "valley" and str(int(round(r.suggested_mv[ch]))) in r.reasons[ch]
        assert r.valley_low_mv[ch] <= r.suggested_mv[ch] <= r.valley_high_mv[ch]
        assert list(r.points[ch].threshold_mv) == list(range(0, 301, 10)) and r.points[ch].channel == ch
        assert len(r.spectrum[ch]["per_mv"]) == len(r.spectrum[ch]["threshold_mv"]) > 0
    assert levels_now(tachyra, s) == MV[:6] + [r.suggested_mv[6], r.suggested_mv[7]]
