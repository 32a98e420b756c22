"""Each error path: its exception, the client's own message; bad arguments
refused before anything is sent."""
import builtins
import math
import threading
import time

import pytest
import tachyra
from conftest import MV, levels_now

# The opening exchange: period, levels, four network reads, a first count.
OPENING = 7
SILENT = ["--silent-after", str(OPENING)]


@pytest.mark.parametrize("switches, action, error, message", [
    (["--reject", "0x20"], lambda d: d.set_threshold(3, 250), tachyra.RejectedError, "SDAC rejected"),
    (["--reject", "0x0a"], lambda d: d.set_threshold(3, 250), tachyra.RejectedError, "WEEP rejected"),
    (["--reject", "0x25"], lambda d: setattr(d, "period_ms", 100), tachyra.RejectedError, "PERD rejected"),
    (["--reject", "0x13"], lambda d: d.set_network(dhcp=True), tachyra.RejectedError, "Network apply rejected"),
    (["--reject", "0x26"], lambda d: d.thresholds_mv, tachyra.BadReplyError, "Bad SDAC? reply"),
    (["--wrong-code", "0x24"], lambda d: d.period_ms, tachyra.BadReplyError, "Bad PERD? reply"),
    (SILENT, lambda d: d.period_ms, tachyra.TimeoutError, "No reply from device"),
    (SILENT, lambda d: d.read(50), tachyra.TimeoutError, "No reply from device"),
    (["--drop-link-after", str(OPENING + 5)], lambda d: d.read(100), tachyra.LinkLostError,
     "Remote host closed the connection"),
], ids=["sdac refused", "weep refused", "perd refused", "apply refused", "levels unread", "bad period reply",
        "silent: period", "silent: read", "link lost mid-read"])
def test_failures(sim, switches, action, error, message):
    dev = tachyra.connect(tcp=sim(*switches).addr)
    with pytest.raises(error) as e:
        action(dev)
    assert (str(e.value), e.value.message, isinstance(e.value, tachyra.DeviceError)) == (message, message, True)
    if error is tachyra.TimeoutError:
        assert isinstance(e.value, builtins.TimeoutError) and e.value.code == "NoReply"
    if error is tachyra.LinkLostError:
        assert isinstance(e.value, ConnectionError) and not dev.connected
        assert len(dev.read()) >= 1  # taken before the loss: kept, not thrown away
    dev.close()


def test_close_says_a_level_was_not_stored(sim):
    # No polls for a minute: the EEPROM write held back until the close is the request that cuts the link.
    s = sim("--drop-link-after", str(OPENING + 4), period_ms=60000)
    dev = tachyra.connect(tcp=s.addr)
    dev.set_threshold(1, 111)
    held = threading.Thread(target=lambda: pytest.raises(tachyra.DeviceError, dev.set_threshold, 2, 222))
    held.start()
    while len(s.writes()) < 3:
        time.sleep(0.02)
    with pytest.raises(tachyra.DeviceError, match="threshold not stored$") as e:
        dev.close()
    held.join(10)
    assert e.value.code == "ThresholdNotStored"


def test_refused_connection(sim):
    s = sim(listen=False)  # nothing listens there
    with pytest.raises(tachyra.ConnectError, match="^Connection refused$") as e:
        tachyra.connect(tcp=s.addr)
    assert isinstance(e.value, ConnectionError) and e.value.code == "ConnectFailed"


def test_unreadable_counts_are_reported(sim):
    with tachyra.connect(tcp=sim("--wrong-length", "0x23").addr) as dev:
        with pytest.warns(tachyra.DeviceWarning, match=r"^Bad COUN\? reply: \d+ readings? skipped"):
            assert len(dev.read(seconds=0.3)) == 0


def test_silence_recovered_is_a_warning(sim):
    s = sim("--drop-every", "20")  # one reply in twenty lost: the session moves on after 2 s
    with tachyra.connect(tcp=s.addr) as dev:
        time.sleep(4)  # the script is elsewhere while it happens
        with pytest.warns(tachyra.DeviceWarning, match=r"^No reply from device: \d+ requests? unanswered$"):
            assert len(dev.read()) >= 20


def test_link_lost_mid_sweep_and_reopened(sim):
    s = sim("--drop-link-after", str(OPENING + 12))
    dev = tachyra.connect(tcp=s.addr)
    with pytest.raises(tachyra.LinkLostError, match="^Remote host closed the connection$"):
        dev.sweep(4, 0, 1000, 10)
    with pytest.raises(tachyra.LinkLostError, match="^Remote host closed the connection$"):
        dev.set_threshold(1, 10)
    dev.reopen()  # the instrument still shows the mutes: the session puts the levels back
    dev.close()
    assert levels_now(tachyra, s) == MV


def test_busy_while_sweeping(sim):
    with tachyra.connect(tcp=sim().addr) as dev:
        sweeping = threading.Thread(target=dev.sweep, args=(0, 0, 300, 10))
        sweeping.start()
        while not dev.read(1).sweep[0]:
            pass
        with pytest.raises(tachyra.BusyError, match="^The instrument is busy with a sweep or a network change$"):
            dev.set_threshold(1, 10)
        sweeping.join(30)


def static(d, **kw):
    return d.set_network(**{"ip": "10.0.0.2", "netmask": "255.0.0.0", "gateway": "10.0.0.1", **kw})


CHANNEL, LEVEL, PERIOD = "the channel wants 0 to 7", "the level wants a number of mV from 0 to 1000", "1 to 60000"
BAD = [  # each raises ValueError matching its message
    *((lambda d, ch=ch: d.set_threshold(ch, 100), CHANNEL) for ch in (9, -1, "x", True)),
    *((lambda d, mv=mv: d.set_threshold(0, mv), LEVEL) for mv in (2000, -1, math.nan, "5")),
    (lambda d: setattr(d, "thresholds_mv", [1, 2, 3]), "a sequence of 8"),
    (lambda d: setattr(d, "thresholds_mv", [10] * 7 + [2000]), LEVEL),
    *((lambda d, ms=ms: setattr(d, "period_ms", ms), "period_ms wants a whole number of ms from " + PERIOD)
      for ms in (0, 70000, 1.5, "50")),
    (lambda d: d.sweep(9, 0, 100, 10), CHANNEL),
    (lambda d: d.sweep(0, 0, 2000, 10), "start_mv and stop_mv want whole mV from 0 to 1000"),
    (lambda d: d.sweep(0, 0.5, 100, 10), "whole mV"), (lambda d: d.sweep(0, 0, 100, 0), "step_mv wants whole mV"),
    (lambda d: d.set_network(), "dhcp=True, or ip, netmask and gateway"),
    (lambda d: d.set_network(dhcp=True, ip="1.2.3.4"), "dhcp=True, or ip"),
    (lambda d: d.set_network(ip="1.2.3.4", netmask="255.0.0.0"), "needs ip, netmask and gateway"),
    (lambda d: static(d, ip="10.0.0.0.1"), "^Invalid IP address$"),
    (lambda d: static(d, netmask="0.0.0.0"), "^Invalid netmask$"),
    (lambda d: static(d, gateway="x"), "^Invalid gateway$"),
    (lambda d: d.read(-1), "n wants a whole number"), (lambda d: d.read(2, seconds=1), "n or seconds, not both"),
    (lambda d: d.read(seconds=-1), "seconds wants"), (lambda d: d.read(seconds=math.inf), "seconds wants"),
    (lambda d: tachyra.connect(tcp="999.1.1.1"), "^Invalid IP address$"),
    (lambda d: tachyra.connect(tcp="0.0.0.0"), "^Invalid IP address$"),
    (lambda d: tachyra.connect(tcp=d.link, serial="/dev/ttyACM0"), "not both"),
    (lambda d: tachyra.connect(serial=" "), "^No COM port selected$"),
    (lambda d: tachyra.connect(tcp=d.link, buffer=0), "buffer wants"),
]


def test_bad_arguments_send_nothing(sim):
    s = sim()
    with tachyra.connect(tcp=s.addr) as dev:
        for action, message in BAD:
            with pytest.raises(ValueError, match=message):
                action(dev)
        assert dev.connected
    assert s.writes() == []
