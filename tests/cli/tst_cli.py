#!/usr/bin/env python3
"""tachyra-cli end to end against zrf-sim processes, each case on its own
loopback address (127.0.0.150 to .199); `scan` only inside two network
namespaces made here. Output is read with the csv and json modules, the
instrument's side from the simulator's --trace lines and its state file.

    tst_cli.py TACHYRA_CLI ZRF_SIM
"""
import csv, io, json, os, shlex, shutil, signal, struct, subprocess, sys, tempfile, time, unittest

CLI, SIM = sys.argv[1], sys.argv[2]
# Volts, told apart; in binary64 0.1274 * 1000 is 127.40000000000002, the
# tool writes 127.4.
LEVELS = [0.1274, 0.12, 0.13, 0.14, 0.15, 0.16, 0.17, 0.2229]
MV = [127.4, 120, 130, 140, 150, 160, 170, 222.9]
HEADER = (["time_utc", "elapsed_s", "period_ms"] + ["count_ch%d" % c for c in range(8)]
          + ["threshold_mv_ch%d" % c for c in range(8)] + ["sweep"])
NO_PORTS = {"TACHYRA_EXTRA_PORTS": ""}
addresses = iter("127.0.0.%d" % n for n in range(150, 199))
NOWHERE = "127.0.0.199"  # nothing ever listens here


def doubles(payload):
    return list(struct.unpack("<%dd" % (len(payload) // 8), payload))


class Sim:
    """zrf-sim on a fresh address with --trace; `frames` lists (code, payload)."""

    def __init__(self, *args, listen=True):
        self.dir = tempfile.mkdtemp(prefix="tcli-")
        self.addr, self.state = next(addresses) if listen else NOWHERE, os.path.join(self.dir, "state.json")
        with open(self.state, "w") as f:
            json.dump({"thresholds": LEVELS, "periodMs": 50, "dhcp": False, "ip": "192.168.1.50",
                       "netmask": "255.255.255.0", "gateway": "192.168.1.1"}, f)
        self.log = open(os.path.join(self.dir, "trace"), "w+")
        self.proc = listen and subprocess.Popen([SIM, "--listen", self.addr + ":1234", "--trace", "--state", self.state,
                                                 *args], stdout=self.log, stderr=subprocess.STDOUT)
        if listen:
            self.wait_for("listening on")

    def wait_for(self, text, seconds=20):
        end = time.monotonic() + seconds
        while time.monotonic() < end:
            self.log.seek(0)
            for line in self.log.read().splitlines():
                if text in line:
                    return line
            time.sleep(0.02)
        self.log.seek(0)
        raise AssertionError("simulator never said %s: %r" % (text, self.log.read()[-300:]))

    def frames(self):
        self.log.seek(0)
        requests = [line.split(" ") + [""] for line in self.log.read().splitlines() if line.startswith("request ")]
        return [(int(r[1], 16), bytes.fromhex(r[2])) for r in requests]

    def close(self):
        if self.proc:
            self.proc.terminate()
            self.proc.wait(5)
        self.log.close()
        shutil.rmtree(self.dir)


def popen(*args, sim):
    """A long-running cli against `sim`, its output read line by line."""
    return subprocess.Popen([CLI, *args, "--tcp", sim.addr], stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
                            env={**os.environ, **NO_PORTS})


def cli(*args, sim=None, env=None, timeout=30, as_nobody=False):
    link = ["--tcp", sim.addr] if sim else []
    cmd = (["setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"] if as_nobody else []) + [CLI, *args, *link]
    r = subprocess.run(cmd, capture_output=True, text=True, timeout=timeout, env={**os.environ, **(env or NO_PORTS)})
    return r.returncode, r.stdout, r.stderr


class TachyraCli(unittest.TestCase):
    def sim(self, *args, **kw):
        s = Sim(*args, **kw)
        self.addCleanup(s.close)
        return s

    def popen(self, *args, sim):
        p = popen(*args, sim=sim)
        self.addCleanup(lambda: p.poll() is None and (p.kill(), p.wait()))  # a failed case leaves nothing behind
        return p

    def test_one_shot_commands(self):
        sdac = lambda ch, v: (0x20, struct.pack("<dd", ch, v))
        static = "192.168.1.5 255.255.255.0 192.168.1.1".split()
        rows = [  # cli arguments, simulator switches, exit, stdout, stderr, writes the instrument received
            (["period"], [], 0, "50\n", "", []),
            (["period", "250"], [], 0, "", "", [(0x25, struct.pack("<d", 250))]),
            (["period", "70000"], [], 2, "", "1 to 60000", None),
            (["threshold", "3"], [], 0, "140\n", "", []),
            (["threshold"], [], 0, "".join("%g\n" % v for v in MV), "", []),
            (["threshold", "3", "250"], [], 0, "", "", [sdac(3, 0.25), (0x0A, b"")]),
            (["threshold", "all", "40"], [], 0, "", "", [sdac(15, 0.04), (0x0A, b"")]),
            (["threshold", "3", "1000"], [], 0, "", "", [sdac(3, 1.0), (0x0A, b"")]),
            (["threshold", "3", "-0"], [], 0, "", "", [sdac(3, 0.0), (0x0A, b"")]),  # 0 V, not -0
            (["threshold", "3", "250"], ["--reject", "0x20"], 1, "", "SDAC rejected", [sdac(3, 0.25)]),
            (["threshold", "3", "250"], ["--reject", "0x0a"], 1, "", "WEEP rejected", [sdac(3, 0.25), (0x0A, b"")]),
            (["threshold", "9"], [], 2, "", "0 to 7 or all", None),
            (["threshold", "1", "nan"], [], 2, "", "0 to 1000", None),
            (["period"], ["--silent"], 1, "", "No reply from device", []),
            (["period"], None, 1, "", "Connection refused", None),  # nothing listens there
            (["counts", "--stats"], None, 1, "", "Connection refused", None),  # no run, no table
            (["network"], [], 0, "mode=Static\nip=192.168.1.50\nnetmask=255.255.255.0\ngateway=192.168.1.1\n", "", []),
            (["network", "--static", *static], [], 0, "", "",
             [(0x12, b"\0"), (0x0F, b"192.168.1.5"), (0x10, b"255.255.255.0"), (0x11, b"192.168.1.1"),
              (0x13, b""), (0x0A, b"")]),
            (["network", "--dhcp"], ["--reject", "0x13"], 1, "", "Network apply rejected", [(0x12, b"\1"), (0x13, b"")]),
            (["network", "--static", "10.0.0.0.1", "255.0.0.0", "10.0.0.1"], [], 2, "", "Invalid IP address", None),
            (["counts", "--count", "2", "--duration", "1"], [], 2, "", "exclude each other", None),
            (["sweep", "--channel", "1", "--from", "0", "--to", "100"], [], 2, "", "--step", None),
            # Usage errors, each found before any link is opened; negative
            # numbers get the range message of the value they stand for.
            (["sweep", "--channel", "1", "--from", "0", "--to", "100", "--step", "0"], None, 2, "", "--step wants", None),
            (["sweep", "--channel", "-1", "--from", "0", "--to", "9", "--step", "3"], None, 2, "", "--channel wants", None),
            (["sweep", "--channel", "1", "--from", "-10", "--to", "9", "--step", "3"], None, 2, "", "--from and --to", None),
            (["sweep", "--channel", "1", "--from", "0", "--to", "-9", "--step", "3"], None, 2, "", "--from and --to", None),
            (["threshold", "3", "-2"], None, 2, "", "0 to 1000", None),
            (["threshold", "3", "-0.5"], None, 2, "", "0 to 1000", None),
            (["threshold", "-1"], None, 2, "", "0 to 7 or all", None),
            (["threshold", "-1", "100"], None, 2, "", "0 to 7 or all", None),
            (["period", "-5"], None, 2, "", "1 to 60000", None),
            (["counts", "--period", "-5"], None, 2, "", "--period wants", None),
            (["counts", "--count", "-3"], None, 2, "", "--count wants", None),
            (["counts", "--duration", "-.5"], None, 2, "", "--duration wants", None),
        ]
        reads = {0x0B, 0x0C, 0x0D, 0x0E, 0x23, 0x24, 0x26}
        for args, switches, code, out, err, sent in rows:
            with self.subTest(args=args, switches=switches):
                s = self.sim(*(switches or []), listen=switches is not None)
                rc, stdout, stderr = cli(*args, sim=s)
                self.assertEqual((rc, stdout), (code, out), stderr)
                self.assertIn(err, stderr)
                if sent is not None:
                    self.assertEqual([f for f in s.frames() if f[0] not in reads], sent)
                if rc == 0 and args[0] == "threshold" and len(args) == 3:  # stored in the EEPROM
                    with open(s.state) as f:
                        self.assertIn(float(args[2]) / 1000, json.load(f)["thresholds"])

    def test_counts_rows(self):
        s = self.sim()
        rc, out, err = cli("counts", "--period", "50", "--duration", "3", sim=s)
        self.assertEqual(rc, 0, err)
        rows = list(csv.reader(io.StringIO(out)))
        self.assertEqual(rows[0], HEADER)
        # One reading per 50 ms tick at most (a loaded machine may skip ticks).
        self.assertTrue(1 <= len(rows) - 1 <= 62, len(rows))
        elapsed = [float(r[1]) for r in rows[1:]]
        self.assertEqual(elapsed, sorted(elapsed))
        self.assertTrue(0 <= elapsed[0] and elapsed[-1] < 3.5, elapsed)  # seconds of the run
        for r in rows[1:]:
            self.assertEqual((r[2], [float(v) for v in r[11:19]], r[19]), ("50", MV, "0"))
            [float(v) for v in r[3:11]]
        s2 = self.sim("--counts", "1,nan,inf,-inf,-0,1e308,1e-310,8")
        rc, out, err = cli("counts", "--count", "3", "--format", "jsonl", sim=s2)
        lines = [json.loads(line) for line in out.splitlines()]
        self.assertEqual((rc, len(lines)), (0, 3), err)
        self.assertEqual(lines[0]["counts"], [1, "nan", "inf", "-inf", -0.0, 1e308, 1e-310, 8])
        self.assertEqual(lines[0]["thresholds_mv"], MV)
        # Levels the instrument never told: empty columns and null, not 0.
        s3 = self.sim("--reject", "0x26")
        for fmt, unknown in (("csv", [[""] * 8] * 2), ("jsonl", [[None] * 8] * 2)):
            rc, out, err = cli("counts", "--count", "2", "--format", fmt, sim=s3)
            got = ([r[11:19] for r in list(csv.reader(io.StringIO(out)))[1:]] if fmt == "csv"
                   else [json.loads(line)["thresholds_mv"] for line in out.splitlines()])
            self.assertEqual((rc, got), (0, unknown), err)

    def test_counts_end_only_on_silence(self):
        # One COUN? reply lost: named, the run goes on. Three polls answered,
        # then nothing with the link up; or replies that never make a reading.
        runs = [(self.popen("counts", "--count", "8", sim=self.sim(*switches)), code, text) for switches, code, text in (
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
        # The statistics instead of the rows, one line per channel, as csv and
        # as JSON lines; counts that are not finite are left out and counted,
        # a rate beyond the largest double has no mean.
        values = [1e15, float("nan"), float("inf"), float("-inf"), -0.0, 1e308, 3, 0.5]
        nan = float("nan")
        want = {0: (30, 0, 1e15, 0, 1e15, 1e15, 2e16), 1: (0, 30, nan, nan, nan, nan, nan),
                5: (30, 0, 1e308, 0, 1e308, 1e308, nan), 6: (30, 0, 3, 0, 3, 3, 60), 7: (30, 0, 0.5, 0, 0.5, 0.5, 10)}
        same = lambda a, b: a == b or (a != a and b != b)
        for fmt in ("csv", "jsonl"):
            with self.subTest(fmt=fmt):
                s = self.sim("--counts", "1e15,nan,inf,-inf,-0,1e308,3,0.5")
                rc, out, err = cli("counts", "--period", "50", "--count", "30", "--stats", "--format", fmt, sim=s)
                self.assertEqual(rc, 0, err)
                if fmt == "csv":
                    rows = list(csv.DictReader(io.StringIO(out)))
                else:
                    rows = [json.loads(line) for line in out.splitlines()]
                self.assertEqual(len(rows), 8, out)
                self.assertEqual(list(rows[0].keys()),
                                 ["channel", "count", "not_finite", "mean", "stddev", "min", "max", "rate_per_s"])
                for c, figures in want.items():
                    got = [float(rows[c][k]) for k in ("count", "not_finite", "mean", "stddev", "min", "max",
                                                       "rate_per_s")]
                    self.assertTrue(all(map(same, got, figures)), (c, got, figures))
                self.assertEqual(rows[4]["min"] if fmt == "jsonl" else float(rows[4]["min"]), -0.0)
        # Ended by Ctrl-C, the statistics of what came so far.
        p = popen("counts", "--stats", sim=self.sim())
        time.sleep(1.5)
        p.send_signal(signal.SIGINT)
        out, err = p.communicate(timeout=5)
        self.assertEqual(p.returncode, 0, err)
        rows = list(csv.DictReader(io.StringIO(out)))
        self.assertEqual([int(r["channel"]) for r in rows], list(range(8)))
        self.assertTrue(all(int(r["count"]) >= 1 for r in rows), out)

    def test_stats_of_a_file(self):
        # A recording's statistics without an instrument: the figures of its
        # rows, its bad lines named with their numbers and left out.
        import statistics
        s = self.sim()
        rc, out, err = cli("counts", "--period", "50", "--count", "40", sim=s)
        self.assertEqual(rc, 0, err)
        rows = list(csv.DictReader(io.StringIO(out)))
        path = os.path.join(s.dir, "run.csv")
        with open(path, "w") as f:
            f.write(out.replace("\n", "\r\n", 3) + "2026-12-07T10:00:00.000Z,1,50,x\n" + out.splitlines()[-1][:30])
        rc, stats_out, err = cli("stats", path)
        self.assertEqual(rc, 0, err)
        self.assertIn("Line 42:", err)
        self.assertIn("40 rows read, 1 lines skipped", err)
        got = list(csv.DictReader(io.StringIO(stats_out)))
        self.assertEqual(len(got), 8)
        for c in range(8):
            counts = [float(r["count_ch%d" % c]) for r in rows]
            rates = [float(r["count_ch%d" % c]) * 1000 / float(r["period_ms"]) for r in rows]
            want = [len(counts), 0, statistics.fmean(counts), statistics.stdev(counts), min(counts), max(counts),
                    statistics.fmean(rates)]
            have = [float(got[c][k]) for k in ("count", "not_finite", "mean", "stddev", "min", "max", "rate_per_s")]
            for a, b in zip(have, want):
                self.assertAlmostEqual(a, b, delta=1e-9 * max(1, abs(b)), msg=(c, have, want))
        with open(path, "w") as f:
            f.write(out.rstrip("\n"))  # the last row has no line end: still a row
        rc, jsonl, err = cli("stats", path, "--format", "jsonl")
        self.assertEqual([json.loads(line)["count"] for line in jsonl.splitlines()], [40] * 8)
        # Not a recording, no file, no name: status 1, 1 and 2, each with its message.
        sweep = os.path.join(s.dir, "sweep.csv")
        with open(sweep, "w") as f:
            f.write("channel,threshold_mv,count,time_utc\n0,100,7,2026-12-07T10:00:00.000Z\n")
        for args, status, text in (((sweep,), 1, "calibration sweep"), ((path + ".gone",), 1, "cannot open"),
                                   ((), 2, "stats wants one FILE")):
            rc, out, err = cli("stats", *args)
            self.assertEqual((rc, out), (status, ""), err)
            self.assertIn(text, err)

    def test_counts_stop_cleanly(self):
        for how in ("pipe closed", "ctrl-c"):
            with self.subTest(how=how):
                p = self.popen("counts", sim=self.sim())
                lines = [p.stdout.readline() for _ in range(4)]
                if how == "pipe closed":
                    p.stdout.close()
                else:
                    p.send_signal(signal.SIGINT)
                    lines += p.stdout.readlines()
                self.assertEqual(p.wait(5), 0, p.stderr.read())
                p.stderr.close()
                p.stdout.close()
                self.assertTrue(all(line.endswith("\n") for line in lines))
                self.assertEqual(len(list(csv.reader(io.StringIO("".join(lines))))), len(lines))

    def test_sweep(self):
        for fmt, step in (("csv", "25"), ("jsonl", "-25")):  # the step's sign is ignored
            with self.subTest(fmt=fmt):
                s = self.sim()
                rc, out, err = cli("sweep", "--channel", "2", "--from", "100", "--to", "0", "--step", step,
                                   "--format", fmt, sim=s)
                self.assertEqual(rc, 0, err)
                points = (list(csv.DictReader(io.StringIO(out))) if fmt == "csv"
                          else [json.loads(line) for line in out.splitlines()])
                self.assertEqual([float(p["threshold_mv"]) for p in points], [100, 75, 50, 25, 0])
                self.assertTrue(all(int(p["channel"]) == 2 and float(p["count"]) >= 0 for p in points))
                levels = [tuple(doubles(p)) for c, p in s.frames() if c == 0x20]
                mutes = [(ch, 1.0) for ch in range(8) if ch != 2]
                steps = [(2.0, mv / 1000) for mv in (100, 75, 50, 25, 0)]
                self.assertEqual(levels, mutes + steps + [(ch, LEVELS[ch]) for ch in range(8)])
                self.assertNotIn(0x0A, [c for c, _ in s.frames()])

    def assertLevelsPutBack(self, s):
        frames = s.frames()
        last_level = max(i for i, (c, _) in enumerate(frames) if c == 0x20)
        restore = [tuple(doubles(p)) for c, p in frames[:last_level + 1] if c == 0x20][-8:]
        self.assertEqual(restore, [(ch, LEVELS[ch]) for ch in range(8)])
        self.assertIn(0x26, [c for c, _ in frames[last_level:]])  # read back behind the restore
        self.assertNotIn(0x0A, [c for c, _ in frames])
        rc, out, err = cli("threshold", sim=s)
        self.assertEqual(out, "".join("%g\n" % v for v in MV), err)

    def test_sweep_stopped_puts_levels_back(self):
        # Ctrl-C; a closed terminal or SSH session (SIGHUP twice) then a kill or
        # timeout: only a second Ctrl-C cuts the restore short; Ctrl-\; or the
        # reader of the output gone (`| head -n 3`), which is no failure.
        for how, code in (((signal.SIGINT,), 130), ((signal.SIGHUP, signal.SIGHUP, signal.SIGTERM), 130),
                          ((signal.SIGQUIT,), 130), ("pipe closed", 0)):
            with self.subTest(how=how):
                s = self.sim()
                p = self.popen("sweep", "--channel", "5", "--from", "0", "--to", "1000", "--step", "10", sim=s)
                lines = [p.stdout.readline() for _ in range(3)]  # header and two points
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
                self.assertLevelsPutBack(s)

    def test_sweep_second_interrupt_leaves_at_once(self):
        # Every level change answered 3 s late: the first Ctrl-C waits for
        # the mute under way and the restore, the second does not.
        s = self.sim("--late", "0x20:3000")
        p = self.popen("sweep", "--channel", "5", "--from", "0", "--to", "1000", "--step", "10", sim=s)
        p.stdout.readline()  # the header: the sweep starts with the first mute
        s.wait_for("request 20")
        p.send_signal(signal.SIGINT)
        time.sleep(0.3)
        p.send_signal(signal.SIGINT)
        self.assertEqual(p.wait(2), 130)
        p.stdout.close()
        err = p.stderr.read()
        p.stderr.close()
        self.assertIn("finishing the change under way", err)
        self.assertIn("stopped at once", err)
        self.assertIn("stopped before the levels were back", err)  # not a lost link

    def test_sweep_link_lost_names_the_levels_to_set_back(self):
        # The link closes at the instrument's 20th request, in the middle of
        # the sweep; the commands printed put the levels back.
        s = self.sim("--drop-link-after", "20")
        rc, out, err = cli("sweep", "--channel", "5", "--from", "0", "--to", "1000", "--step", "10", sim=s)
        self.assertEqual(rc, 1, err)
        self.assertIn("every channel but CH 5 muted at 1000 mV", err)
        commands = [shlex.split(line)[1:] for line in err.splitlines() if line.startswith("  tachyra-cli threshold ")]
        self.assertEqual(commands, [["threshold", str(ch), "%g" % MV[ch], "--tcp", s.addr] for ch in range(8)])
        self.assertNotIn(0x0A, [c for c, _ in s.frames()])
        for args in commands:
            self.assertEqual(cli(*args)[0], 0)
        self.assertEqual(cli("threshold", sim=s)[1], "".join("%g\n" % v for v in MV))

    def test_serial_ports(self):
        s = self.sim("--pty")
        pty = s.wait_for("pty: ").split("pty: ")[1]
        rc, out, err = cli("ports", env={"TACHYRA_EXTRA_PORTS": pty + ":/dev/nonexistent-port"})
        self.assertEqual(out.splitlines()[0], pty + "\t-\tnamed in TACHYRA_EXTRA_PORTS", err)
        self.assertNotIn("nonexistent", out)
        self.assertEqual(cli("period", "--serial", pty), (0, "50\n", ""))
        self.assertEqual(cli("period", env={"TACHYRA_EXTRA_PORTS": pty})[:2], (0, "50\n"))  # the client's pick
        if os.geteuid() == 0:  # an ordinary user may not open root's pty
            rc, out, err = cli("period", "--serial", pty, as_nobody=True)
            self.assertEqual(rc, 1)
            self.assertIn("COM port access denied: join the dialout group", err)

    @unittest.skipUnless(os.geteuid() == 0 and shutil.which("ip"), "needs root and iproute2")
    def test_scan_in_own_namespaces(self):
        tag = str(os.getpid())
        client, server = "tcli-c-" + tag, "tcli-s-" + tag
        ip = lambda *a: subprocess.run(["ip", *a], check=True, capture_output=True)
        for name in os.listdir("/run/netns") if os.path.isdir("/run/netns") else []:
            if name.startswith("tcli-") and not os.path.exists("/proc/" + name.split("-")[-1]):
                subprocess.run(["ip", "netns", "del", name], capture_output=True)  # left by a killed run
        self.addCleanup(lambda: [subprocess.run(["ip", "netns", "del", n], capture_output=True)
                                 for n in (client, server)])
        ip("netns", "add", client)
        ip("netns", "add", server)
        ip("link", "add", "tclc" + tag, "netns", client, "type", "veth", "peer", "name", "tcls" + tag, "netns", server)
        for ns, dev, cidr in ((client, "tclc" + tag, "10.231.78.1/24"), (server, "tcls" + tag, "10.231.78.2/24")):
            ip("-n", ns, "addr", "add", cidr, "dev", dev)
            ip("-n", ns, "link", "set", dev, "up")
            ip("-n", ns, "link", "set", "lo", "up")
        sim = subprocess.Popen(["ip", "netns", "exec", server, SIM, "--listen", "10.231.78.2:1234",
                                "--allow-any-address"], stdout=subprocess.PIPE, text=True)
        self.addCleanup(lambda: (sim.terminate(), sim.wait(5), sim.stdout.close()))
        self.assertIn("listening on", sim.stdout.readline())
        r = subprocess.run(["ip", "netns", "exec", client, CLI, "scan"], capture_output=True, text=True, timeout=30)
        self.assertEqual((r.returncode, r.stdout), (0, "10.231.78.2\n"), r.stderr)


if __name__ == "__main__":
    unittest.main(argv=sys.argv[:1] + sys.argv[3:], verbosity=2)
