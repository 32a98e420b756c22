#!/usr/bin/env python3
"""`tachyra-cli serve` from the outside: its refusals, the packaged alert rules, unit and start script; with root,
in a network namespace of its own, a real Prometheus scraping it and HTTP clients that hold its server.

    tst_exporter.py TACHYRA_CLI ZRF_SIM SOURCE_DIR [unittest arguments]
"""
import json, os, re, shutil, socket, subprocess, sys, tempfile, threading, time, unittest, urllib.parse
import urllib.request

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "common"))
from simhelper import NETNS, Sim, die_with_parent, namespaces  # noqa: E402

CLI, SIM, SOURCE = (os.path.realpath(a) for a in sys.argv[1:4])
PACKAGING = os.path.join(SOURCE, "packaging")
COUNTS = [100, 0, 7, 3.5, 250000, float("nan"), 1, -5]  # what the simulator answers
INSTRUMENT = "127.0.0.2"  # the simulator, inside the namespace
METRICS = "127.0.0.1:9472"
PROMETHEUS = "127.0.0.1:9090"


def start_exporter(work):
    log = open(os.path.join(work, "exporter.log"), "w+")
    return subprocess.Popen([CLI, "serve", "--tcp", INSTRUMENT, "--metrics", METRICS], stdout=log,
                            stderr=subprocess.STDOUT, preexec_fn=die_with_parent)


def http_get(url, timeout=5):
    with urllib.request.urlopen(url, timeout=timeout) as r:
        return r.status, r.read().decode()


def wait_for(what, check, seconds):
    end = time.monotonic() + seconds
    while time.monotonic() < end:
        try:
            if check():
                return
        except OSError:
            pass
        time.sleep(0.2)
    raise AssertionError("timed out waiting for " + what)


def rss_kib(pid):
    with open("/proc/%d/status" % pid) as f:
        return next(int(line.split()[1]) for line in f if line.startswith("VmRSS:"))


def series(text, name):
    return next((float(line.rsplit(" ", 1)[1]) for line in text.splitlines() if line.startswith(name + "{")), None)


def stop(exporter):
    exporter.terminate()
    assert exporter.wait(15) == 0, "exit status of the exporter on SIGTERM"


# --- cases run inside the namespace (what they start dies with them: die_with_parent) ---------------------------

def inside_prometheus(work):
    """A real Prometheus scraping every second while the simulator runs."""
    sim = Sim(SIM, INSTRUMENT, "--counts", ",".join(str(c) for c in COUNTS), period_ms=100, state_dir=work)
    exporter = start_exporter(work)
    config = os.path.join(work, "prometheus.yml")
    with open(config, "w") as f:
        f.write("global: {scrape_interval: 1s, scrape_timeout: 900ms, evaluation_interval: 1s}\n"
                "scrape_configs:\n  - job_name: tachyra\n    static_configs: [{targets: ['%s']}]\n" % METRICS)
    prometheus = subprocess.Popen(["prometheus", "--config.file=" + config, "--storage.tsdb.path=" + work + "/tsdb",
                                   "--web.listen-address=" + PROMETHEUS],
                                  stdout=subprocess.DEVNULL, stderr=open(os.path.join(work, "prometheus.log"), "w"),
                                  preexec_fn=die_with_parent)

    def query(q, at=None):
        args = {"query": q} | ({"time": "%.3f" % at} if at else {})
        reply = json.loads(http_get("http://%s/api/v1/query?%s" % (PROMETHEUS, urllib.parse.urlencode(args)))[1])
        assert reply["status"] == "success", reply
        return reply["data"]["result"]

    def scalar(q, at=None):
        r = query(q, at)
        return float(r[0]["value"][1]) if r else None

    wait_for("Prometheus to be ready", lambda: http_get("http://%s/-/ready" % PROMETHEUS)[0] == 200, 30)
    wait_for("the link in Prometheus", lambda: scalar("tachyra_link_up") == 1, 20)
    time.sleep(14)
    # The readings between the first and last raw samples of 12 s against the count reads the simulator got.
    now = time.time()
    samples = query("tachyra_readings_total[12s]", now)[0]["values"]
    (t_a, v_a), (t_b, v_b) = [(float(t), float(v)) for t, v in (samples[0], samples[-1])]
    assert len(samples) >= 10, samples
    readings, polls = v_b - v_a, sim.polls_between(t_a, t_b)
    assert abs(readings - polls) <= 2 and readings >= 0.8 * (t_b - t_a) * 10, (readings, polls)  # 100 ms gate
    totals = [float(v) for _, v in query('tachyra_counts_total{channel="4"}[12s]', now)[0]["values"]]
    assert totals[-1] - totals[0] == COUNTS[4] * readings, (totals, readings)
    # rate() over the same span: counts per second as the simulator sent them.
    rate = scalar('rate(tachyra_counts_total{channel="0"}[10s])', t_b)
    sent = COUNTS[0] * sim.polls_between(t_b - 10, t_b) / 10
    assert abs(rate - sent) <= 0.1 * sent, (rate, sent)
    status, text = http_get("http://%s/metrics" % METRICS)
    check = subprocess.run(["promtool", "check", "metrics"], input=text, capture_output=True, text=True)
    assert (status, check.returncode) == (200, 0), check.stdout + check.stderr

    stop(exporter)


def inside_hostile(work):
    """Clients that hold the HTTP side; the polls the simulator receives and the exporter's memory."""
    sim = Sim(SIM, INSTRUMENT, state_dir=work)
    exporter = start_exporter(work)
    host, port = METRICS.split(":")
    url = "http://%s/metrics" % METRICS
    wait_for("the exporter", lambda: series(http_get(url)[1], "tachyra_link_up") == 1, 10)
    # AddressSanitizer keeps freed memory in quarantine: no figure to judge there (many scrapes: bench/metrics/run).
    with open("/proc/%d/maps" % exporter.pid) as f:
        sanitized = "libasan" in f.read()
    baseline = rss_kib(exporter.pid)

    def header():  # a header line that never ends, up to 1 GB
        s = socket.create_connection((host, int(port)))
        chunk, sent = b"a" * (1 << 20), 0
        try:
            s.sendall(b"GET /metrics HTTP/1.1\r\nX-Long: ")
            while sent < 1000000000:
                s.sendall(chunk)
                sent += len(chunk)
        except OSError:
            pass
        s.close()
        assert sent < 1000000000, "the server read a 1 GB header"

    def slowloris():  # a header byte now and then on hundreds of connections
        socks = [socket.socket() for _ in range(300)]
        for s in socks:
            s.setblocking(False)
            s.connect_ex((host, int(port)))
        time.sleep(0.5)
        for i in range(10):
            for s in socks:
                try:
                    s.send(b"GET /metrics HTTP/1.1\r\n" if i == 0 else b"X: y\r\n")
                except OSError:
                    pass
            time.sleep(1)
        for s in socks:
            s.close()

    for name, attack in (("1 GB header", header), ("slowloris", slowloris)):
        t0, start_polls, peak = time.time(), sim.polls_between(0, time.time()), 0
        worker = threading.Thread(target=attack)
        worker.start()
        while worker.is_alive():
            peak = max(peak, rss_kib(exporter.pid))
            time.sleep(0.05)
        worker.join()
        span, polls = time.time() - t0, sim.polls_between(0, time.time()) - start_polls
        # Polling goes on at the gate rate, 20 a second (a loaded machine may skip a tick).
        assert polls >= 0.8 * 20 * span - 2, (name, polls, span)
        assert sanitized or peak <= baseline + 32 * 1024, (name, peak, baseline)
        assert exporter.poll() is None, name
        wait_for("a scrape after " + name, lambda: http_get(url, timeout=2)[0] == 200, 10)
    text = http_get(url)[1]
    assert series(text, "tachyra_link_up") == 1 and series(text, "tachyra_link_losses_total") == 0, text
    stop(exporter)


# --- the tests ---------------------------------------------------------------------------------------------------

def run(*args, env=None, timeout=20):
    r = subprocess.run(list(args), capture_output=True, text=True, timeout=timeout, env=env)
    return r.returncode, r.stdout, r.stderr


class Exporter(unittest.TestCase):
    def test_refusals(self):
        link = ["--tcp", "127.0.0.247"]
        rows = [  # arguments after serve, exit status, a pattern on stderr
            (link, 2, "serve wants --metrics"), (["--metrics", "9472"], 2, "serve wants --tcp HOST or --serial PORT"),
            (link + ["--metrics", "host:9472"], 2, '"host" is not an IPv4 address'),
            (link + ["--metrics", "127.0.0.1:99999"], 2, "from 1 to 65535"),
            (link + ["--metrics", "9472", "--instrument", ""], 2, "--instrument wants"),
            (link + ["--metrics", "9472", "extra"], 2, "serve takes no arguments"),
            (link + ["--metrics", "192.0.2.1:9472"], 1, r"cannot listen on 192\.0\.2\.1:9472: .*Cannot assign requested"),
        ]
        for args, code, err in rows:
            with self.subTest(args=args):
                rc, out, stderr = run(CLI, "serve", *args)
                self.assertEqual((rc, out, bool(re.search(err, stderr))), (code, "", True), stderr)

    @unittest.skipUnless(shutil.which("promtool"), "needs promtool (Debian's prometheus package)")
    def test_alert_rules(self):  # the test file loads the packaged rules: a parse or template error fails it
        rc, out, err = run("promtool", "test", "rules", os.path.join(SOURCE, "tests/metrics/tachyra-alerts.test.yml"))
        self.assertEqual(rc, 0, out + err)

    def test_unit_start_script(self):
        work = tempfile.mkdtemp(prefix="texp-")
        self.addCleanup(shutil.rmtree, work)
        stub, wrapper = os.path.join(work, "cli"), os.path.join(PACKAGING, "tachyra-exporter")
        with open(stub, "w") as f:
            f.write('#!/bin/sh\nfor a in "$@"; do printf "%s|" "$a"; done\n')
        os.chmod(stub, 0o755)
        rows = [  # instance, environment, arguments the tool gets
            ("ttyACM0", {}, "serve|--serial|/dev/ttyACM0|--metrics|127.0.0.1:9472|"),
            ("10.0.0.5", {}, "serve|--tcp|10.0.0.5|--metrics|127.0.0.1:9472|"),
            ("dev/serial/by-id/usb-Tachyra_0483-if00", {"TACHYRA_METRICS": "0.0.0.0:9473"},
             "serve|--serial|/dev/serial/by-id/usb-Tachyra_0483-if00|--metrics|0.0.0.0:9473|"),
            ("ttyUSB1", {"TACHYRA_INSTRUMENT": "bench 3", "TACHYRA_EXPORTER_OPTIONS": "--a  --b"},
             "serve|--serial|/dev/ttyUSB1|--metrics|127.0.0.1:9472|--instrument|bench 3|--a|--b|"),
        ]
        for instance, env, expected in rows:
            with self.subTest(instance=instance):
                rc, out, err = run(wrapper, instance, env={"PATH": os.environ["PATH"], "TACHYRA_CLI": stub, **env})
                self.assertEqual((rc, out), (0, expected), err)
        self.assertEqual(run(wrapper, env={"PATH": os.environ["PATH"]})[0], 2)

    @unittest.skipUnless(shutil.which("systemd-analyze"), "needs systemd-analyze")
    def test_unit_verifies(self):
        work = tempfile.mkdtemp(prefix="texp-")
        self.addCleanup(shutil.rmtree, work)
        with open(os.path.join(PACKAGING, "tachyra-exporter@.service")) as f:
            # The manual page is there once the package is installed.
            text = f.read().replace("/usr/libexec/tachyra/tachyra-exporter", PACKAGING + "/tachyra-exporter").replace(
                "Documentation=man:tachyra-cli(1)\n", "")
        path = os.path.join(work, "tachyra-exporter@ttyACM0.service")  # the text does not depend on the instance
        with open(path, "w") as f:
            f.write(text)
        self.assertEqual(run("systemd-analyze", "verify", path), (0, "", ""))

    def in_namespace(self, case):
        if not NETNS:
            self.skipTest("needs root and iproute2 for a network namespace")
        work = tempfile.mkdtemp(prefix="texp-")
        self.addCleanup(shutil.rmtree, work, True)
        with namespaces("texp") as (ns,):
            r = subprocess.run(["ip", "netns", "exec", ns, sys.executable, __file__, CLI, SIM, SOURCE, "--inside", case,
                                work], capture_output=True, text=True, timeout=240, preexec_fn=die_with_parent)
        logs = ""
        for name in ("exporter.log", "prometheus.log"):
            if os.path.exists(os.path.join(work, name)):
                with open(os.path.join(work, name), errors="replace") as f:
                    logs += "\n--- %s\n%s" % (name, f.read()[-3000:])
        self.assertEqual(r.returncode, 0, r.stderr + logs)

    @unittest.skipUnless(shutil.which("prometheus") and shutil.which("promtool"), "needs Debian's prometheus package")
    def test_prometheus_scrapes(self):
        self.in_namespace("prometheus")

    def test_hostile_clients(self):
        self.in_namespace("hostile")


if __name__ == "__main__":
    if sys.argv[4:5] == ["--inside"]:
        {"prometheus": inside_prometheus, "hostile": inside_hostile}[sys.argv[5]](sys.argv[6])
        sys.exit(0)
    unittest.main(argv=sys.argv[:1] + sys.argv[4:], verbosity=2)
