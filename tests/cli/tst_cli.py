#!/usr/bin/env python3
"""tachyra-cli end to end against zrf-sim on 127.0.0.150 to .199 (`scan` between network namespaces
made here), output read with the csv and json modules: arguments, formats, exit codes, signals, calibrate.

    tst_cli.py TACHYRA_CLI ZRF_SIM
"""
import csv, io, json, os, shlex, signal, statistics, struct, subprocess, sys, time, unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "common"))
from simhelper import NETNS, Sim, sdac, scan_between_namespaces  # noqa: E402

CLI, SIM = sys.argv[1], sys.argv[2]
# Volts, told apart; in binary64 0.1274 * 1000 is 127.40000000000002, the tool writes 127.4.
LEVELS = [0.1274, 0.12, 0.13, 0.14, 0.15, 0.16, 0.17, 0.2229]
MV = [127.4, 120, 130, 140, 150, 160, 170, 222.9]
MV_LINES = "".join("%g\n" % v for v in MV)
HEADER = (["time_utc", "elapsed_s", "period_ms"] + ["count_ch%d" % c for c in range(8)]
          + ["threshold_mv_ch%d" % c for c in range(8)] + ["sweep"])
STATS = ["count", "not_finite", "mean", "stddev", "min", "max", "rate_per_s"]
NO_PORTS = {"TACHYRA_EXTRA_PORTS": ""}
MAPPED = {0x20, 0x25, 0x0F, 0x10, 0x11, 0x12}  # what an argument becomes; the rest is the session's
addresses = iter("127.0.0.%d" % n for n in range(150, 199))
NOWHERE = "127.0.0.199"  # nothing ever listens here
SWEEP5 = ["sweep", "--channel", "5", "--from", "0", "--to", "1000", "--step", "10"]


def cli(*args, sim=None, env=None, timeout=30, as_nobody=False):
    link = ["--tcp", sim.addr] if sim else []
    cmd = (["setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"] if as_nobody else []) + [CLI, *args, *link]
    r = subprocess.run(cmd, capture_output=True, text=True, timeout=timeout, env={**os.environ, **(env or NO_PORTS)})
    return r.returncode, r.stdout, r.stderr


def parse(out, fmt="csv"):
    return list(csv.DictReader(io.StringIO(out))) if fmt == "csv" else [json.loads(line) for line in out.splitlines()]


def popen(test, *args, sim):
    p = subprocess.Popen([CLI, *args, "--tcp", sim.addr], stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                         text=True, env={**os.environ, **NO_PORTS})
    test.addCleanup(lambda: p.poll() is None and (p.kill(), p.wait()))  # a failed case leaves nothing behind
    return p


class TachyraCli(unittest.TestCase):
    def sim(self, *args, listen=True):
        s = Sim(SIM, next(addresses) if listen else NOWHERE, *args, listen=listen, levels=LEVELS)
        self.addCleanup(s.close)
        return s

    def test_one_shot_commands(self):
        static = "192.168.1.5 255.255.0.0 192.168.1.1".split()
        rows = [  # cli arguments, simulator switches (None: none listens), exit, stdout, stderr, writes it mapped to
            (["period"], [], 0, "50\n", "", []),
            (["period", "250"], [], 0, "", "", [(0x25, struct.pack("<d", 250))]),
            (["period", "70000"], [], 2, "", "1 to 60000", None),
            (["threshold", "3"], [], 0, "140\n", "", []),
            (["threshold"], [], 0, MV_LINES, "", []),
            (["threshold", "3", "250"], [], 0, "", "", [sdac(3, 0.25)]),
            (["threshold", "all", "40"], [], 0, "", "", [sdac(15, 0.04)]),
            (["threshold", "3", "1000"], [], 0, "", "", [sdac(3, 1.0)]),
            (["threshold", "3", "-0"], [], 0, "", "", [sdac(3, 0.0)]),  # 0 V, not -0
            (["threshold", "3", "250"], ["--reject", "0x20"], 1, "", "SDAC rejected", None),
            (["threshold", "9"], [], 2, "", "0 to 7 or all", None),
            (["threshold", "1", "nan"], [], 2, "", "0 to 1000", None),
            (["period"], ["--silent"], 1, "", "No reply from device", []),
            (["period"], None, 1, "", "Connection refused", None),
            (["counts", "--stats"], None, 1, "", "Connection refused", None),  # no run, no table
            (["network"], [], 0, "mode=Static\nip=192.168.1.50\nnetmask=255.255.255.0\ngateway=192.168.1.1\n", "", []),
            (["network", "--static", *static], [], 0, "", "",
             [(0x12, b"\0"), (0x0F, b"192.168.1.5"), (0x10, b"255.255.0.0"), (0x11, b"192.168.1.1")]),
            (["network", "--dhcp"], ["--reject", "0x13"], 1, "", "Network apply rejected", [(0x12, b"\1")]),
            (["network", "--static", "10.0.0.0.1", "255.0.0.0", "10.0.0.1"], [], 2, "", "Invalid IP address", None),
            (["counts", "--count", "2", "--duration", "1"], [], 2, "", "exclude each other", None),
            (["sweep", "--channel", "1", "--from", "0", "--to", "100"], [], 2, "", "--step", None),
        ]
        # Usage errors, found before any link opens; a negative number gets its value's range message.
        rows += [(args.split(), None, 2, "", err, None) for args, err in (
            ("sweep --channel 1 --from 0 --to 100 --step 0", "--step wants"),
            ("sweep --channel -1 --from 0 --to 9 --step 3", "--channel wants"),
            ("sweep --channel 1 --from -10 --to 9 --step 3", "--from and --to"),
            ("sweep --channel 1 --from 0 --to -9 --step 3", "--from and --to"),
            ("threshold 3 -0.5", "0 to 1000"), ("threshold -1", "0 to 7 or all"), ("period -5", "1 to 60000"),
            ("counts --period -5", "--period wants"), ("counts --count -3", "--count wants"),
            ("counts --duration -.5", "--duration wants"),
            ("network --static 0.0.0.0 255.0.0.0 10.0.0.1", "Invalid IP address"))]
        for args, switches, code, out, err, sent in rows:
            with self.subTest(args=args, switches=switches):
                s = self.sim(*(switches or []), listen=switches is not None)
                rc, stdout, stderr = cli(*args, sim=s)
                self.assertEqual((rc, stdout), (code, out), stderr)
                self.assertIn(err, stderr)
                if sent is not None:
                    self.assertEqual([f for f in s.writes() if f[0] in MAPPED], sent)
                if rc == 0 and args[0] == "threshold" and len(args) == 3:  # waited for until stored
                    self.assertIn(float(args[2]) / 1000, s.stored()["thresholds"])

    def test_counts_rows(self):
        rc, out, err = cli("counts", "--period", "50", "--duration", "3", sim=self.sim())
        rows = list(csv.reader(io.StringIO(out)))
        self.assertEqual((rc, rows[0]), (0, HEADER), err)
        # One reading per 50 ms tick at most (a loaded machine may skip ticks), seconds of the run.
        self.assertTrue(1 <= len(rows) - 1 <= 62, len(rows))
        elapsed = [float(r[1]) for r in rows[1:]]
        self.assertTrue(elapsed == sorted(elapsed) and 0 <= elapsed[0] and elapsed[-1] < 3.5, elapsed)
        for r in rows[1:]:
            self.assertEqual((r[2], [float(v) for v in r[3:19]][8:], r[19]), ("50", MV, "0"))
        rc, out, err = cli("counts", "--count", "3", "--format", "jsonl",
                           sim=self.sim("--counts", "1,nan,inf,-inf,-0,1e308,1e-310,8"))
        lines = parse(out, "jsonl")
        self.assertEqual((rc, len(lines), lines[0]["thresholds_mv"]), (0, 3, MV), err)
        self.assertEqual(lines[0]["counts"], [1, "nan", "inf", "-inf", -0.0, 1e308, 1e-310, 8])
        # Levels the instrument never told: empty columns and null, not 0.
        s = self.sim("--reject", "0x26")
        rc, out, err = cli("counts", "--count", "2", sim=s)
        self.assertEqual((rc, [r[11:19] for r in list(csv.reader(io.StringIO(out)))[1:]]), (0, [[""] * 8] * 2), err)
        rc, out, err = cli("counts", "--count", "2", "--format", "jsonl", sim=s)
        self.assertEqual((rc, [r["thresholds_mv"] for r in parse(out, "jsonl")]), (0, [[None] * 8] * 2), err)

    def test_counts_end_only_on_silence(self):
        # One COUN? reply lost: named, the run goes on; silence with the link up, or no reading, ends it.
        runs = [(popen(self, "counts", "--count", "8", sim=self.sim(*switches)), code, text) for switches, code, text in (
            (["--drop-nth", "0x23:3"], 0, "No reply from device"),
            (["--silent-spell", "10:600000"], 1, "no reply from the instrument: 3 requests in a row"),
            (["--wrong-code", "0x23"], 1, "no reading for 10 s"))]  # side by side: the waits overlap
        for p, code, text in runs:
            with self.subTest(args=p.args):
                out, err = p.communicate(timeout=30)
                self.assertEqual(p.returncode, code, err)
                self.assertIn(text, err)
                rows = len(list(csv.reader(io.StringIO(out)))) - 1
                self.assertTrue(rows == 8 if code == 0 else rows < 8, out)

    def test_counts_stats(self):
        # One line per channel: counts not finite left out and counted, a rate beyond a double no mean.
        nan = float("nan")
        want = {0: (30, 0, 1e15, 0, 1e15, 1e15, 2e16), 1: (0, 30, nan, nan, nan, nan, nan),
                5: (30, 0, 1e308, 0, 1e308, 1e308, nan), 6: (30, 0, 3, 0, 3, 3, 60), 7: (30, 0, 0.5, 0, 0.5, 0.5, 10)}
        same = lambda a, b: a == b or (a != a and b != b)
        for fmt in ("csv", "jsonl"):
            with self.subTest(fmt=fmt):
                rc, out, err = cli("counts", "--period", "50", "--count", "30", "--stats", "--format", fmt,
                                   sim=self.sim("--counts", "1e15,nan,inf,-inf,-0,1e308,3,0.5"))
                rows = parse(out, fmt)
                self.assertEqual((rc, len(rows), list(rows[0].keys())), (0, 8, ["channel"] + STATS), err)
                for c, figures in want.items():
                    got = [float(rows[c][k]) for k in STATS]
                    self.assertTrue(all(map(same, got, figures)), (c, got, figures))
                self.assertEqual(rows[4]["min"] if fmt == "jsonl" else float(rows[4]["min"]), -0.0)
        # Ended by Ctrl-C, the statistics of what came so far.
        p = popen(self, "counts", "--stats", sim=self.sim())
        time.sleep(1.5)
        p.send_signal(signal.SIGINT)
        out, err = p.communicate(timeout=5)
        rows = parse(out)
        self.assertEqual((p.returncode, [int(r["channel"]) for r in rows]), (0, list(range(8))), err)
        self.assertTrue(all(int(r["count"]) >= 1 for r in rows), out)

    def test_stats_of_a_file(self):
        # A recording's statistics, its bad lines named and left out; no recording or none there: 1; no name: 2.
        s = self.sim()
        recorded = cli("counts", "--period", "50", "--count", "40", sim=s)[1]
        rows, path, sweep = parse(recorded), os.path.join(s.dir, "run.csv"), os.path.join(s.dir, "sweep.csv")
        lines = recorded.splitlines(True)
        with open(path, "w") as f:  # a bad line, then the last row without its line end
            f.write("".join(lines[:-1]) + "2026-12-07T1,1\n" + lines[-1].rstrip("\n"))
        with open(sweep, "w") as f:
            f.write("channel,threshold_mv,count,time_utc\n0,100,7,2026-12-07T10:00:00.000Z\n")
        rc, out, err = cli("stats", path, "--format", "jsonl")
        self.assertEqual((rc, err.splitlines()[-1]), (0, "tachyra-cli: 40 rows read, 1 lines skipped"), err)
        self.assertIn("Line 41:", err)
        for c, got in enumerate(parse(out, "jsonl")):
            counts = [float(r["count_ch%d" % c]) for r in rows]
            want = [40, 0, statistics.fmean(counts), statistics.stdev(counts), min(counts), max(counts),
                    statistics.fmean(counts) * 20]  # 50 ms gates
            for a, b in zip([got[k] for k in STATS], want):
                self.assertAlmostEqual(a, b, delta=1e-9 * max(1, abs(b)), msg=(c, got, want))
        for args, status, text in (((sweep,), 1, "calibration sweep"), ((path + ".gone",), 1, "cannot open"),
                                   ((), 2, "stats wants one FILE")):
            rc, out, err = cli("stats", *args)
            self.assertEqual((rc, out, text in err), (status, "", True), err)

    def test_sweep(self):
        for fmt, step in (("csv", "25"), ("jsonl", "-25")):  # the step's sign is ignored
            with self.subTest(fmt=fmt):
                rc, out, err = cli("sweep", "--channel", "2", "--from", "100", "--to", "0", "--step", step,
                                   "--format", fmt, sim=self.sim())
                points = parse(out, fmt)
                self.assertEqual((rc, [float(p["threshold_mv"]) for p in points]), (0, [100, 75, 50, 25, 0]), err)
                self.assertTrue(all(int(p["channel"]) == 2 and float(p["count"]) >= 0 for p in points))

    def test_stopped_runs_end_on_whole_lines(self):
        # Ctrl-C; a closed terminal (SIGHUP twice) then a kill: only a second Ctrl-C cuts the restore short;
        # Ctrl-\; or the output's reader gone (`| head -n 3`), no failure. The levels back, no line cut short.
        for args, how, code in ((["counts"], "pipe closed", 0), (["counts"], (signal.SIGINT,), 0),
                                (SWEEP5, (signal.SIGINT,), 130), (SWEEP5, (signal.SIGHUP, signal.SIGHUP, signal.SIGTERM), 130),
                                (SWEEP5, (signal.SIGQUIT,), 130), (SWEEP5, "pipe closed", 0)):
            with self.subTest(args=args[0], how=how):
                s = self.sim()
                p = popen(self, *args, sim=s)
                lines = [p.stdout.readline() for _ in range(4)]  # the header and three rows or points
                if how == "pipe closed":
                    p.stdout.close()
                else:
                    for sig in how:
                        p.send_signal(sig)
                    lines += p.stdout.readlines()
                    p.stdout.close()
                err = p.stderr.read()
                self.assertEqual(p.wait(10), code, err)
                p.stderr.close()
                self.assertNotIn("stopped at once", err)
                self.assertLess(len(lines), 50)
                self.assertEqual(len(list(csv.reader(io.StringIO("".join(lines))))), len(lines))
                self.assertTrue(all(line.endswith("\n") for line in lines), lines)
                self.assertEqual(cli("threshold", sim=s)[1], MV_LINES)

    def test_sweep_second_interrupt_leaves_at_once(self):
        # Level changes answered 3 s late: the first Ctrl-C waits for the change and the restore, the second not.
        s = self.sim("--late", "0x20:3000")
        p = popen(self, *SWEEP5, sim=s)
        p.stdout.readline()  # the header: the sweep starts with the first mute
        s.wait_for("request 20")
        p.send_signal(signal.SIGINT)
        time.sleep(0.3)
        p.send_signal(signal.SIGINT)
        err = p.communicate(timeout=2)[1]
        self.assertEqual(p.returncode, 130, err)
        for text in ("finishing the change under way", "stopped at once",
                     "stopped before the levels were back"):  # not a lost link
            self.assertIn(text, err)

    def test_sweep_link_lost_names_the_levels_to_set_back(self):
        # The link closes mid-sweep (the 20th request): the commands printed put the levels back.
        s = self.sim("--drop-link-after", "20")
        rc, out, err = cli(*SWEEP5, sim=s)
        self.assertEqual(rc, 1, err)
        self.assertIn("every channel but CH 5 muted at 1000 mV", err)
        commands = [shlex.split(line)[1:] for line in err.splitlines() if line.startswith("  tachyra-cli threshold ")]
        self.assertEqual(commands, [["threshold", str(ch), "%g" % MV[ch], "--tcp", s.addr] for ch in range(8)])
        self.assertEqual([cli(*args)[0] for args in commands], [0] * 8)
        self.assertEqual(cli("threshold", sim=s)[1], MV_LINES)

    def test_serial_ports(self):
        pty = self.sim("--pty").wait_for("pty: ").split("pty: ")[1]
        rc, out, err = cli("ports", env={"TACHYRA_EXTRA_PORTS": pty + ":/dev/nonexistent-port"})
        self.assertEqual(out.splitlines()[0], pty + "\t-\tnamed in TACHYRA_EXTRA_PORTS", err)
        self.assertNotIn("nonexistent", out)
        self.assertEqual(cli("period", "--serial", pty), (0, "50\n", ""))
        self.assertEqual(cli("period", env={"TACHYRA_EXTRA_PORTS": pty})[:2], (0, "50\n"))  # the client's pick
        if os.geteuid() == 0:  # an ordinary user may not open root's pty
            rc, out, err = cli("period", "--serial", pty, as_nobody=True)
            self.assertEqual(rc, 1)
            self.assertIn("COM port access denied: join the dialout group", err)

    def test_calibrate(self):
        # Exit codes, output and --apply against the detector model (the sweep itself is tst_calibration's).
        s = self.sim("--detector", "--seed", "1")
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
        rows = parse(out, "jsonl")
        self.assertEqual((rc, [(r["channel"], r["reason"]) for r in rows]), (0, [(6, "valley"), (7, "valley")]), err)
        self.assertTrue(all(r["valley_low_mv"] <= r["suggested_mv"] <= r["valley_high_mv"] for r in rows), rows)
        with open(points) as f:
            self.assertEqual([json.loads(line)["channel"] for line in f], [6] * 31 + [7] * 31)
        expected = MV[:6] + [r["suggested_mv"] for r in rows]
        self.assertEqual([float(v) for v in cli("threshold", sim=s)[1].split()], expected)
        self.assertEqual([round(v * 1000, 6) for v in s.stored()["thresholds"]], [round(v, 6) for v in expected])

    @unittest.skipUnless(NETNS, "needs root and iproute2")
    def test_scan_in_own_namespaces(self):
        r = scan_between_namespaces("tcli", "10.231.78", SIM, CLI, "scan")
        self.assertEqual((r.returncode, r.stdout), (0, "10.231.78.2\n"), r.stderr)


if __name__ == "__main__":
    unittest.main(argv=sys.argv[:1] + sys.argv[3:], verbosity=2)
