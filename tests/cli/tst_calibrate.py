#!/usr/bin/env python3
"""tachyra-cli calibrate against zrf-sim --detector on 127.0.0.251: exit codes, output and --apply
(the sweep's own mutes, steps and restore are tst_calibration's).

    tst_calibrate.py TACHYRA_CLI ZRF_SIM
"""
import json, os, signal, sys, time, unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from tst_cli import LEVELS, MV, MV_LINES, SIM, Sim, cli, popen, sdac  # noqa: E402  (reads the same two arguments)


class Calibrate(unittest.TestCase):
    def test_calibrate(self):
        s = Sim(SIM, "127.0.0.251", "--detector", "--seed", "1", levels=LEVELS)
        self.addCleanup(s.close)
        # Ctrl-C in the second channel: status 130, no line written, the levels back and none stored.
        p = popen(self, "calibrate", "--channels", "3,1", "--from", "0", "--to", "1000", "--step", "10", sim=s)
        while sdac(3, 1.0) not in s.frames():  # channel 3 swept to its end
            time.sleep(0.05)
        p.send_signal(signal.SIGINT)
        out, err = p.communicate(timeout=10)
        self.assertEqual((p.returncode, out, s.stored()["thresholds"]), (130, "", LEVELS), err)
        self.assertEqual(cli("threshold", sim=s)[1], MV_LINES)

        # Two channels with valleys: their lines, their points, and only their suggestions applied and stored.
        points = os.path.join(s.dir, "points.jsonl")
        rc, out, err = cli("calibrate", "--channels", "6,7", "--from", "0", "--to", "300", "--step", "10",
                           "--format", "jsonl", "--points", points, "--apply", sim=s, timeout=60)
        rows = [json.loads(line) for line in out.splitlines()]
        self.assertEqual((rc, [(r["channel"], r["reason"]) for r in rows]), (0, [(6, "valley"), (7, "valley")]), err)
        self.assertTrue(all(r["valley_low_mv"] <= r["suggested_mv"] <= r["valley_high_mv"] for r in rows), rows)
        with open(points) as f:
            self.assertEqual([json.loads(line)["channel"] for line in f], [6] * 31 + [7] * 31)
        expected = MV[:6] + [r["suggested_mv"] for r in rows]
        self.assertEqual([float(v) for v in cli("threshold", sim=s)[1].split()], expected)
        self.assertEqual([round(v * 1000, 6) for v in s.stored()["thresholds"]], [round(v, 6) for v in expected])


if __name__ == "__main__":
    unittest.main(argv=sys.argv[:1] + sys.argv[3:], verbosity=2)
