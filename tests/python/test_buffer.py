"""The buffer between the session and the script: nothing lost while the
script does other things, an overflow never silent."""
import time
import warnings

import numpy as np
import pytest
import tachyra
from conftest import COUNT


def test_a_sleeping_script_gets_every_reading(sim):
    s = sim()
    got = []
    with tachyra.connect(tcp=s.addr) as dev:
        for _ in range(3):
            time.sleep(1.5)
            got.append(dev.read())
        got.append(dev.read(5))
    got += [dev.read()] if dev.buffered else []  # what came until the close
    elapsed = np.concatenate([r.elapsed_s for r in got])
    assert (np.diff(elapsed) > 0).all() and dev.dropped == 0  # in order, none twice
    assert len(elapsed) == dev.taken == [c for c, _ in s.frames()].count(COUNT)


def test_overflow_is_reported(sim):
    with tachyra.connect(tcp=sim().addr, buffer=5) as dev:
        assert dev.buffer_size == 5
        time.sleep(1)
        with pytest.warns(tachyra.BufferOverflowWarning, match=r"^\d+ readings dropped: the buffer of 5 was full"):
            r = dev.read()
        assert len(r) == 5 and dev.dropped >= 10 and dev.taken >= dev.dropped + 5
        assert (np.diff(r.elapsed_s) > 0).all()
        # The newest stay: the last of them came within the last poll or two.
        time.sleep(0.5)
        with warnings.catch_warnings():
            warnings.simplefilter("error")
            with pytest.raises(tachyra.BufferOverflowWarning):
                dev.read()  # raised as an error: the readings stay
        kept = dev.read()
        assert len(kept) == 5 and kept.elapsed_s[0] > r.elapsed_s[-1]
