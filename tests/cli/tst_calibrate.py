#!/usr/bin/env python3
"""tachyra-cli calibrate end to end against zrf-sim --detector on 127.0.0.251
(tests/common/simhelper.py), with tst_cli's runner.

    tst_calibrate.py TACHYRA_CLI ZRF_SIM
"""
import json, os, signal, struct, subprocess, sys, time, unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "common"))
from simhelper import Sim  # noqa: E402
from tst_cli import CLI, LEVELS, MV, NO_PORTS, SIM, cli  # noqa: E402  (reads the same two arguments)

doubles = lambda payload: list(struct.unpack("<%dd" % (len(payload) // 8), payload))


class Calibrate(unittest.TestCase):
    def test_calibrate(self):
        s = Sim(SIM, "127.0.0.251", "--detector", "--seed", "1", levels=LEVELS)
        self.addCleanup(s.close)
        levels = lambda frames: [tuple(doubles(p)) for c, p in frames if c == 0x20]

        # Ctrl-C in the second channel: the levels come back once, no mute is stored, no line is written.
        p = subprocess.Popen([CLI, "calibrate", "--channels", "3,1", "--from", "0", "--to", "1000", "--step", "10",
                              "--tcp", s.addr], stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
                             env={**os.environ, **NO_PORTS})
        self.addCleanup(lambda: p.poll() is None and (p.kill(), p.wait()))
        while (3.0, 1.0) not in levels(s.frames())[7:]:
            time.sleep(0.05)
        p.send_signal(signal.SIGINT)
        out, err = p.communicate(timeout=10)
        self.assertEqual((p.returncode, out), (130, ""), err)
        sent = levels(s.frames())
        self.assertEqual(sent[-8:], [(ch, LEVELS[ch]) for ch in range(8)])
        self.assertEqual(sent.count((0.0, LEVELS[0])), 1)  # one restore, not one per channel
        self.assertNotIn(0x0A, [c for c, _ in s.frames()])

        # Two channels with valleys, their points, and only their suggestions applied.
        start = len(s.frames())
        points = os.path.join(s.dir, "points.jsonl")
        rc, out, err = cli("calibrate", "--channels", "6,7", "--from", "0", "--to", "300", "--step", "10",
                           "--format", "jsonl", "--points", points, "--apply", sim=s, timeout=60)
        self.assertEqual(rc, 0, err)
        rows = [json.loads(line) for line in out.splitlines()]
        self.assertEqual([r["channel"] for r in rows], [6, 7])
        for r in rows:
            self.assertEqual(r["reason"], "valley", r)
            self.assertTrue(r["valley_low_mv"] <= r["suggested_mv"] <= r["valley_high_mv"], r)
        with open(points) as f:
            self.assertEqual([json.loads(line)["channel"] for line in f], [6] * 31 + [7] * 31)
        steps = [(mv / 1000) for mv in range(0, 301, 10)]
        frames = s.frames()[start:]
        self.assertEqual(levels(frames), [(ch, 1.0) for ch in range(8) if ch != 6] + [(6.0, v) for v in steps]
                         + [(6.0, 1.0)] + [(7.0, v) for v in steps] + [(ch, LEVELS[ch]) for ch in range(8)]
                         + [(r["channel"], r["suggested_mv"] / 1000) for r in rows])
        weeps = [i for i, (c, _) in enumerate(frames) if c == 0x0A]
        last_restore = [i for i, (c, _) in enumerate(frames) if c == 0x20][-3]
        self.assertTrue(weeps and len(weeps) <= 2 and min(weeps) > last_restore, weeps)
        rc, out, _ = cli("threshold", sim=s)
        expected = MV[:6] + [r["suggested_mv"] for r in rows]
        self.assertEqual([float(v) for v in out.split()], expected)


if __name__ == "__main__":
    unittest.main(argv=sys.argv[:1] + sys.argv[3:], verbosity=2)
