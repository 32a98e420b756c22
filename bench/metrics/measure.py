#!/usr/bin/env python3
"""Measures `tachyra-cli serve` against zrf-sim on loopback; see bench/metrics/run.

    measure.py TACHYRA_CLI ZRF_SIM QUICK(0|1)
The count reads are stamped by a process of their own reading the
simulator's trace, and the scrapes come from another, so neither timing
waits on this one.
"""
import json, os, statistics, subprocess, sys, tempfile, time

CLI, SIM, QUICK = sys.argv[1], sys.argv[2], sys.argv[3] == "1"
PHASE_S = 20 if QUICK else 60
LONG_S = 120 if QUICK else 600
URL = "http://127.0.0.1:9472/metrics"
PY = sys.executable

STAMPER = r"""
import sys, time
for line in sys.stdin:
    if line.startswith("request 23"):
        print(time.monotonic_ns(), flush=True)
"""
SCRAPER = r"""
import http.client, sys, time
interval, seconds = float(sys.argv[1]), float(sys.argv[2])
end = time.monotonic() + seconds
next_at = time.monotonic()
while time.monotonic() < end:
    t0 = time.monotonic_ns()
    try:
        c = http.client.HTTPConnection("127.0.0.1", 9472, timeout=5)
        c.request("GET", "/metrics")
        r = c.getresponse()
        r.read()
        ok = r.status == 200
        c.close()
    except OSError:
        ok = False
    print(t0, time.monotonic_ns() - t0, int(ok), flush=True)
    next_at += interval
    time.sleep(max(0.0, next_at - time.monotonic()))
"""


def cpu_rss(pid):
    with open("/proc/%d/stat" % pid) as f:
        fields = f.read().rsplit(")", 1)[1].split()
    ticks = os.sysconf("SC_CLK_TCK")
    cpu = (int(fields[11]) + int(fields[12])) / ticks  # utime + stime
    with open("/proc/%d/status" % pid) as f:
        rss = next(int(line.split()[1]) for line in f if line.startswith("VmRSS:"))
    return cpu, rss


def pct(values, p):
    values = sorted(values)
    return values[min(len(values) - 1, int(round(p / 100 * (len(values) - 1))))]


def intervals_ms(stamps, t0, t1):
    inside = [t for t in stamps if t0 <= t <= t1]
    return [(b - a) / 1e6 for a, b in zip(inside, inside[1:])]


def main():
    work = tempfile.mkdtemp(prefix="metrics-bench-")
    state = os.path.join(work, "state.json")
    with open(state, "w") as f:
        json.dump({"thresholds": [0.1] * 8, "periodMs": 50, "dhcp": False, "ip": "192.168.1.50",
                   "netmask": "255.255.255.0", "gateway": "192.168.1.1"}, f)
    stamps_path = os.path.join(work, "polls")
    sim = subprocess.Popen([SIM, "--listen", "127.0.0.1:1234", "--state", state, "--trace"], stdout=subprocess.PIPE)
    stamper = subprocess.Popen([PY, "-c", STAMPER], stdin=sim.stdout, stdout=open(stamps_path, "w"))
    exporter = subprocess.Popen([CLI, "serve", "--tcp", "127.0.0.1", "--metrics", "127.0.0.1:9472"],
                                stderr=subprocess.DEVNULL)
    procs = [exporter, stamper, sim]
    try:
        time.sleep(3)
        # Unscraped, then scraped every 100 ms: one run, one link.
        t_a = time.monotonic_ns()
        time.sleep(PHASE_S)
        t_b = time.monotonic_ns()
        fast = subprocess.run([PY, "-c", SCRAPER, "0.1", str(PHASE_S)], capture_output=True, text=True)
        t_c = time.monotonic_ns()
        scrapes = [tuple(int(v) for v in line.split()) for line in fast.stdout.split("\n") if line]
        latency = [d / 1e6 for _, d, ok in scrapes if ok]
        failed = sum(1 for *_, ok in scrapes if not ok)

        # A scrape a second for the long run; CPU and memory every 10 s.
        slow = subprocess.Popen([PY, "-c", SCRAPER, "1", str(LONG_S)], stdout=subprocess.DEVNULL)
        procs.append(slow)
        samples = [(time.monotonic(), *cpu_rss(exporter.pid))]
        while slow.poll() is None:
            time.sleep(10)
            samples.append((time.monotonic(), *cpu_rss(exporter.pid)))

        with open(stamps_path) as f:
            stamps = [int(line) for line in f if line.strip()]
        quiet, busy = intervals_ms(stamps, t_a, t_b), intervals_ms(stamps, t_b, t_c)
        (t0, c0, r0), (t1, c1, r1) = samples[0], samples[-1]
        rss = [r for *_, r in samples]

        def cadence(iv, span_ns):
            return ("%.1f readings/s; interval median %.1f ms, p99 %.1f ms, max %.1f ms"
                    % (len(iv) / (span_ns / 1e9), statistics.median(iv), pct(iv, 99), max(iv)))

        rows = [
            ("polling, unscraped, %d s (50 ms gate)" % PHASE_S, cadence(quiet, t_b - t_a)),
            ("polling, scraped every 100 ms, %d s" % PHASE_S, cadence(busy, t_c - t_b)),
            ("scrape latency (every 100 ms)", "median %.2f ms, p99 %.2f ms, max %.2f ms (%d scrapes, %d failed)"
             % (statistics.median(latency), pct(latency, 99), max(latency), len(scrapes), failed)),
            ("CPU, %d min, a scrape a second" % (LONG_S // 60), "%.4f CPU s per s (%.1f s in %.0f s)"
             % ((c1 - c0) / (t1 - t0), c1 - c0, t1 - t0)),
            ("RSS, %d min, a scrape a second" % (LONG_S // 60), "%.1f -> %.1f MiB (min %.1f, max %.1f; %d samples)"
             % (r0 / 1024, r1 / 1024, min(rss) / 1024, max(rss) / 1024, len(rss))),
        ]
        width = max(len(k) for k, _ in rows)
        print("| %s | %s |" % ("Figure".ljust(width), "Value"))
        print("|%s|---|" % ("-" * (width + 2)))
        for k, v in rows:
            print("| %s | %s |" % (k.ljust(width), v))
    finally:
        for p in procs:
            if p.poll() is None:
                p.terminate()
                p.wait(10)


if __name__ == "__main__":
    main()
