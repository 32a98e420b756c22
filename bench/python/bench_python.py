#!/usr/bin/env python3
"""Figures of `import tachyra` against zrf-sim processes on 127.0.0.36 to .39
(this area's), printed, never asserted:

  soak     a 50 ms gate for MINUTES with the script sleeping 2 s between
           read() calls: readings delivered / readings the simulator answered,
           the module's cost per reading (read() alone, and the process's CPU
           time, Qt thread included);
  compare  read(N) on readings already buffered, against the same N readings
           from `tachyra-cli counts` parsed with Python's csv into arrays;
  ctrl-c   the time from SIGINT to KeyboardInterrupt in a script waiting in
           read(), and in a sweep (levels back before it is raised).

    bench_python.py ZRF_SIM TACHYRA_CLI [--soak-minutes M] [--compare-readings N] [--only soak|compare|ctrl-c]

The module is taken from PYTHONPATH (build/python). The whole run at the
defaults (10 min, 10000 readings, in parallel) takes about 10 minutes.
"""
import argparse
import csv
import io
import os
import signal
import statistics
import subprocess
import sys
import tempfile
import threading
import time

import numpy as np
import tachyra

HOSTS = {"soak": "127.0.0.36", "compare": "127.0.0.37", "cli": "127.0.0.38", "ctrl-c": "127.0.0.39"}


class Sim:
    def __init__(self, sim, addr, *args):
        self.log = tempfile.TemporaryFile("w+")
        self.proc = subprocess.Popen([sim, "--listen", addr + ":1234", "--trace", *args], stdout=self.log,
                                     stderr=subprocess.STDOUT)
        while "listening on" not in self.text():
            time.sleep(0.02)

    def text(self):
        self.log.seek(0)
        return self.log.read()

    def answered_counts(self):
        return self.text().count("request 23 ")

    def close(self):
        self.proc.terminate()
        self.proc.wait(5)
        self.log.close()


def soak(sim_path, minutes, out):
    sim = Sim(sim_path, HOSTS["soak"])
    delivered = 0
    in_read = 0.0
    reads = 0
    cpu0 = time.process_time()
    wall0 = time.monotonic()
    with tachyra.connect(tcp=HOSTS["soak"]) as dev:
        dev.period_ms = 50
        end = time.monotonic() + minutes * 60
        while time.monotonic() < end:
            time.sleep(2)
            t = time.perf_counter()
            r = dev.read()
            in_read += time.perf_counter() - t
            delivered += len(r)
            reads += 1
    if dev.buffered:
        delivered += len(dev.read())
    cpu = time.process_time() - cpu0
    wall = time.monotonic() - wall0
    answered = sim.answered_counts()
    sim.close()
    out["soak"] = [
        ("run", "%.1f min at a 50 ms gate, %d read() calls 2 s apart" % (wall / 60, reads)),
        ("readings delivered / answered", "%d / %d = %.2f %% (dropped %d)" % (delivered, answered,
                                                                           100.0 * delivered / max(answered, 1),
                                                                           dev.dropped)),
        ("read(): time per reading", "%.2f us" % (1e6 * in_read / max(delivered, 1))),
        ("process CPU per reading (Qt thread, session, buffer, read)", "%.1f us (%.4f CPU s per s)" % (
            1e6 * cpu / max(delivered, 1), cpu / wall)),
    ]


def compare(sim_path, cli, n, out):
    sim_module = Sim(sim_path, HOSTS["compare"])
    sim_cli = Sim(sim_path, HOSTS["cli"])
    result = {}

    def by_module():
        cpu0 = time.process_time()
        with tachyra.connect(tcp=HOSTS["compare"]) as dev:
            dev.period_ms = 50
            dev.clear()
            while dev.buffered < n:
                time.sleep(1)
            t = time.perf_counter()
            r = dev.read(n)
            result["read"] = time.perf_counter() - t
        result["module_cpu"] = time.process_time() - cpu0
        assert len(r) == n

    def by_cli():
        before = os.times()
        p = subprocess.run([cli, "counts", "--tcp", HOSTS["cli"], "--period", "50", "--count", str(n)],
                           capture_output=True, text=True, env={**os.environ, "TACHYRA_EXTRA_PORTS": ""})
        after = os.times()
        result["cli_cpu"] = (after.children_user - before.children_user) + (after.children_system
                                                                            - before.children_system)
        t = time.perf_counter()
        rows = list(csv.reader(io.StringIO(p.stdout)))[1:]
        counts = np.array([[float(v) for v in row[3:11]] for row in rows])
        times = np.array([row[0].rstrip("Z") for row in rows], dtype="datetime64[ms]")
        elapsed = np.array([float(row[1]) for row in rows])
        result["parse"] = time.perf_counter() - t
        assert counts.shape == (n, 8) and len(times) == len(elapsed) == n

    threads = [threading.Thread(target=by_module), threading.Thread(target=by_cli)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    sim_module.close()
    sim_cli.close()
    out["compare"] = [
        ("read(%d) on buffered readings" % n, "%.2f ms (%.2f us per reading)" % (1e3 * result["read"],
                                                                                1e6 * result["read"] / n)),
        ("the same from tachyra-cli counts, csv parsed", "%.1f ms (%.2f us per reading)" % (
            1e3 * result["parse"], 1e6 * result["parse"] / n)),
        ("CPU for the acquisition: module process / cli process",
         "%.2f s / %.2f s (both runs side by side)" % (result["module_cpu"], result["cli_cpu"])),
    ]


CHILD = """
import os, signal, sys, time, tachyra
signal.signal(signal.SIGINT, signal.default_int_handler)  # even when started with SIGINT ignored
dev = tachyra.connect(tcp=os.environ["HOST"])
for what in ("read", "sweep"):
    for _ in range(int(os.environ["TRIALS"])):
        print("ready", flush=True)
        try:
            dev.read(10**9) if what == "read" else dev.sweep(3, 0, 1000, 10)
        except KeyboardInterrupt:
            print(time.monotonic(), flush=True)
dev.close()
"""


def ctrl_c(sim_path, trials, out):
    sim = Sim(sim_path, HOSTS["ctrl-c"])
    child = subprocess.Popen([sys.executable, "-c", CHILD], stdout=subprocess.PIPE, text=True,
                             env={**os.environ, "HOST": HOSTS["ctrl-c"], "TRIALS": str(trials)})
    delays = {"read": [], "sweep": []}
    for what in ("read", "sweep"):
        for _ in range(trials):
            assert child.stdout.readline().strip() == "ready"
            time.sleep(0.3)
            sent = time.monotonic()
            child.send_signal(signal.SIGINT)
            delays[what].append(float(child.stdout.readline()) - sent)
    child.wait(30)
    sim.close()
    fmt = lambda v: "median %.1f ms, max %.1f ms (%d trials)" % (1e3 * statistics.median(v), 1e3 * max(v), len(v))
    out["ctrl-c"] = [("SIGINT to KeyboardInterrupt in read()", fmt(delays["read"])),
                     ("SIGINT to KeyboardInterrupt in sweep() (levels back first)", fmt(delays["sweep"]))]


def main():
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("sim")
    p.add_argument("cli")
    p.add_argument("--soak-minutes", type=float, default=10)
    p.add_argument("--compare-readings", type=int, default=10000)
    p.add_argument("--ctrl-c-trials", type=int, default=20)
    p.add_argument("--only", choices=["soak", "compare", "ctrl-c"])
    args = p.parse_args()

    out = {}
    if args.only == "soak":
        soak(args.sim, args.soak_minutes, out)
    elif args.only == "compare":
        compare(args.sim, args.cli, args.compare_readings, out)
    elif args.only == "ctrl-c":
        ctrl_c(args.sim, args.ctrl_c_trials, out)
    if args.only:
        for name, value in out[args.only]:
            print("| %s | %s |" % (name, value), flush=True)
        return
    # Ctrl-C alone (its timing), then soak and compare side by side, each in
    # a process of its own (each one's CPU time is its own).
    print("| Figure | Value |\n|---|---|", flush=True)
    ctrl_c(args.sim, args.ctrl_c_trials, out)
    common = [sys.executable, __file__, args.sim, args.cli, "--soak-minutes", str(args.soak_minutes),
              "--compare-readings", str(args.compare_readings), "--only"]
    runs = [subprocess.Popen(common + [what], stdout=subprocess.PIPE, text=True) for what in ("soak", "compare")]
    tables = [run.communicate()[0] for run in runs]
    for run in runs:
        if run.returncode != 0:
            sys.exit("bench_python: a part failed")
    sys.stdout.write("".join(tables))
    for name, value in out["ctrl-c"]:
        print("| %s | %s |" % (name, value))


if __name__ == "__main__":
    main()
