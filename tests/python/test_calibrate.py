"""dev.calibrate() against zrf-sim --detector: the suggestions, points and spectrum, and only the
suggestions applied (the sweep's own wire sequence is tst_calibration's; Ctrl-C, test_interrupt's sweep)."""
import numpy as np
import tachyra
from conftest import MV, levels_now


def test_calibrate(sim):
    s = sim("--detector", "--seed", "1")
    with tachyra.connect(tcp=s.addr) as dev:
        r = dev.calibrate(channels=(6, 7), from_mv=0, to_mv=300, step_mv=10, apply=True)
    assert r.suggested_mv.shape == (8,) and np.isnan(r.suggested_mv[:6]).all() and r.reasons[0] == ""
    for ch in (6, 7):
        assert r.reason_keys[ch] == "valley" and str(int(round(r.suggested_mv[ch]))) in r.reasons[ch]
        assert r.valley_low_mv[ch] <= r.suggested_mv[ch] <= r.valley_high_mv[ch]
        assert list(r.points[ch].threshold_mv) == list(range(0, 301, 10)) and r.points[ch].channel == ch
        assert len(r.spectrum[ch]["per_mv"]) == len(r.spectrum[ch]["threshold_mv"]) > 0
    assert levels_now(tachyra, s) == MV[:6] + [r.suggested_mv[6], r.suggested_mv[7]]
