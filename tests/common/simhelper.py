"""zrf-sim for the suites driven from Python (tests/python, cli, metrics,
docs): one process on the caller's address, its requests read from --trace as
they come, its settings in a state file of its own; and network namespaces of
a run's own for what must stay off this machine's networks (scan, serve)."""
import contextlib, ctypes, json, os, shutil, signal, struct, subprocess, tempfile, threading, time

READS = {0x0B, 0x0C, 0x0D, 0x0E, 0x23, 0x24, 0x26}  # everything else changes the instrument
SDAC, WEEP, COUNT = 0x20, 0x0A, 0x23
LEVELS = [0.11, 0.12, 0.13, 0.14, 0.15, 0.16, 0.17, 0.18]  # volts, told apart
NETNS = os.geteuid() == 0 and shutil.which("ip") is not None


_prctl = ctypes.CDLL(None).prctl  # resolved here: a forked child of a threaded run only calls it


def die_with_parent():
    _prctl(1, signal.SIGKILL)  # PR_SET_PDEATHSIG: nothing outlives a killed run


def sdac(channel, volts):
    return (SDAC, struct.pack("<dd", channel, volts))


class Sim:
    """zrf-sim on ADDR:1234 (unless not `listen`); `stamped` holds (time.time(), line) of its output."""

    def __init__(self, binary, addr, *args, listen=True, levels=LEVELS, period_ms=50, pty=False, state_dir=None,
                 wrap=()):
        self.addr, self.dir = addr, state_dir or tempfile.mkdtemp(prefix="tsim-")
        self.own_dir, self.state = state_dir is None, os.path.join(self.dir, "state.json")
        self.stamped, self.proc = [], None
        if not os.path.exists(self.state):
            with open(self.state, "w") as f:
                json.dump({"thresholds": levels, "periodMs": period_ms, "dhcp": False, "ip": "192.168.1.50",
                           "netmask": "255.255.255.0", "gateway": "192.168.1.1"}, f)
        if listen:
            self.proc = subprocess.Popen([*wrap, binary, "--listen", addr + ":1234", "--trace", "--state", self.state,
                                          *(["--pty"] if pty else []), *args], stdout=subprocess.PIPE,
                                         stderr=subprocess.STDOUT, text=True, preexec_fn=die_with_parent)
            stamp = lambda: self.stamped.extend((time.time(), line.rstrip("\n")) for line in self.proc.stdout)
            threading.Thread(target=stamp, daemon=True).start()
            self.wait_for("listening on")
            self.pty = self.wait_for("pty: ").split("pty: ")[1] if pty else None

    def lines(self):
        return [line for _, line in list(self.stamped)]

    def wait_for(self, text, seconds=20):
        end = time.monotonic() + seconds
        while time.monotonic() < end:
            found = [line for line in self.lines() if text in line]
            if found:
                return found[0]
            time.sleep(0.02)
        raise AssertionError("simulator never said %s: %r" % (text, self.lines()[-5:]))

    def frames(self):
        """(code, payload) of each request, in order."""
        return [(int(r[1], 16), bytes.fromhex(r[2])) for r in
                (line.split(" ") + [""] for line in self.lines() if line.startswith("request "))]

    def writes(self):
        """What changed the instrument, in order."""
        return [f for f in self.frames() if f[0] not in READS]

    def polls_between(self, t0, t1):
        return sum(1 for t, line in list(self.stamped) if t0 < t <= t1 and line.startswith("request 23"))

    def stored(self):
        with open(self.state) as f:
            return json.load(f)

    def close(self):
        if self.proc:
            self.proc.terminate()
            self.proc.wait(5)
            self.proc.stdout.close()
        if self.own_dir:
            shutil.rmtree(self.dir)


@contextlib.contextmanager
def namespaces(prefix, subnet=None):
    """A network namespace of this run's own, loopback up; with SUBNET ("10.231.79") a second one joined to it
    by a veth pair, the first at .1, the second at .2. Yields their names; all deleted afterwards, and any a
    killed run with this PREFIX (no dash) left."""
    ip = lambda *a: subprocess.run(["ip", *a], check=True, capture_output=True)
    for name in os.listdir("/run/netns") if os.path.isdir("/run/netns") else []:
        if name.startswith(prefix + "-") and not os.path.exists("/proc/" + name.split("-")[1]):
            subprocess.run(["ip", "netns", "del", name], capture_output=True)
    names = ["%s-%d-%s" % (prefix, os.getpid(), side) for side in "ab"[:2 if subnet else 1]]
    try:
        for name in names:
            ip("netns", "add", name)
            ip("-n", name, "link", "set", "lo", "up")
        if subnet:
            veth = ["%s%d%s" % (prefix, os.getpid(), side) for side in "ab"]
            ip("link", "add", veth[0], "netns", names[0], "type", "veth", "peer", "name", veth[1], "netns", names[1])
            for n, (name, dev) in enumerate(zip(names, veth), 1):
                ip("-n", name, "addr", "add", "%s.%d/24" % (subnet, n), "dev", dev)
                ip("-n", name, "link", "set", dev, "up")
        yield names
    finally:
        for name in names:
            subprocess.run(["ip", "netns", "del", name], capture_output=True)


def scan_between_namespaces(prefix, subnet, sim_binary, *command):
    """COMMAND run in a namespace of its own, joined to another where zrf-sim listens on SUBNET.2."""
    with namespaces(prefix, subnet) as (here, there):
        sim = Sim(sim_binary, subnet + ".2", "--allow-any-address", wrap=("ip", "netns", "exec", there))
        try:
            return subprocess.run(["ip", "netns", "exec", here, *command], capture_output=True, text=True, timeout=60)
        finally:
            sim.close()
