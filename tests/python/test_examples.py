"""The two scripts of python/examples against the simulator, so they do not rot."""
import os
import subprocess
import sys

import numpy as np
import pytest


def run(script, *args, env=None):
    r = subprocess.run([sys.executable, os.path.join(os.environ["TACHYRA_EXAMPLES"], script), *args],
                       capture_output=True, text=True, timeout=60, env=env)
    assert (r.returncode, r.stderr) == (0, "")
    return r.stdout


def test_acquisition(sim, tmp_path):
    out = run("acquire.py", "--tcp", sim().addr, "--out", str(tmp_path / "run.npz"))
    data = np.load(tmp_path / "run.npz")
    assert sorted(data.files) == ["counts", "elapsed_s", "period_ms", "sweep", "thresholds_mv", "time"]
    # Ten seconds at one reading per 50 ms gate (a loaded machine may skip ticks).
    assert 100 <= len(data["time"]) <= 202 and data["counts"].shape == (len(data["time"]), 8)
    assert out.startswith("%d readings from " % len(data["time"]))


@pytest.mark.parametrize("plotting", [True, False], ids=["matplotlib", "printed"])
def test_sweep(sim, tmp_path, plotting):
    if plotting:
        pytest.importorskip("matplotlib")
    args = ["--tcp", sim().addr, "--channel", "1", "--start", "0", "--stop", "200", "--step", "50",
            "--out", str(tmp_path / "sweep.png")]
    if plotting:
        assert run("sweep_plot.py", *args) == "5 points, plot saved to %s\n" % (tmp_path / "sweep.png")
        assert (tmp_path / "sweep.png").read_bytes().startswith(b"\x89PNG")
        return
    (tmp_path / "matplotlib.py").write_text("raise ImportError('hidden')\n")  # as on a machine without it
    lines = run("sweep_plot.py", *args, env={**os.environ, "PYTHONPATH": "%s:%s" % (tmp_path, os.environ["PYTHONPATH"])})
    assert [line.split()[0] for line in lines.splitlines()] == ["threshold_mv", "0", "50", "100", "150", "200"]
