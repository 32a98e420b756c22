#!/usr/bin/env python3
"""Ten seconds of counts from the Tachyra counter, saved with numpy.

    acquire.py --tcp 192.168.1.50 [--seconds 10] [--period 50] [--out run.npz]

Without --tcp or --serial the serial port the client would pick is opened.
The file holds the arrays of tachyra.Readings (counts, time, elapsed_s,
period_ms, thresholds_mv, sweep); numpy.load(path) gives them back.
"""
import argparse

import numpy as np
import tachyra


def main():
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("--tcp", help="the instrument's IPv4 address")
    p.add_argument("--serial", help="serial port, e.g. /dev/ttyACM0")
    p.add_argument("--seconds", type=float, default=10.0)
    p.add_argument("--period", type=int, default=50, help="gate period in ms")
    p.add_argument("--out", default="run.npz")
    args = p.parse_args()

    with tachyra.connect(tcp=args.tcp, serial=args.serial) as dev:
        dev.period_ms = args.period
        dev.clear()  # only readings taken at the new period
        r = dev.read(seconds=args.seconds)

    np.savez(args.out, **r.as_dict())
    rates = r.counts / (r.period_ms[:, None] / 1000.0)
    print("%d readings from %s to %s, saved to %s" % (len(r), r.time[0], r.time[-1], args.out))
    print("mean rate per channel (1/s):", np.array2string(rates.mean(axis=0), precision=1))


if __name__ == "__main__":
    main()
