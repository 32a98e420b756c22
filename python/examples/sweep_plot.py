#!/usr/bin/env python3
"""A threshold sweep of one channel, plotted with matplotlib when it is
installed (saved to a PNG), else printed as a table.

    sweep_plot.py --tcp 192.168.1.50 [--channel 2] [--start 0] [--stop 600] [--step 20] [--out sweep.png]

The levels from before the sweep are put back at the end, on an error and
on Ctrl-C.
"""
import argparse

import numpy as np
import tachyra


def main():
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("--tcp", help="the instrument's IPv4 address")
    p.add_argument("--serial", help="serial port, e.g. /dev/ttyACM0")
    p.add_argument("--channel", type=int, default=2)
    p.add_argument("--start", type=int, default=0, help="first level in mV")
    p.add_argument("--stop", type=int, default=600, help="last level in mV")
    p.add_argument("--step", type=int, default=20, help="step in mV")
    p.add_argument("--out", default="sweep.png")
    args = p.parse_args()

    with tachyra.connect(tcp=args.tcp, serial=args.serial) as dev:
        points = dev.sweep(args.channel, args.start, args.stop, args.step)
        period_s = dev.period_ms / 1000.0

    rate = points.counts / period_s
    try:
        import matplotlib
        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
    except ImportError:
        print("threshold_mv  rate_per_s")
        for mv, r in zip(points.threshold_mv, rate):
            print("%12g  %10.1f" % (mv, r))
        return
    fig, ax = plt.subplots()
    ax.plot(points.threshold_mv, rate, marker=".")
    ax.set_xlabel("threshold (mV)")
    ax.set_ylabel("rate (1/s)")
    ax.set_title("Channel %d" % points.channel)
    if np.all(rate > 0):
        ax.set_yscale("log")
    fig.savefig(args.out)
    print("%d points, plot saved to %s" % (len(points), args.out))


if __name__ == "__main__":
    main()
