#!/usr/bin/env python3
"""check_recording.py RECORDING.csv ROWS LEVELS: reads a recording with the csv
module: the header, ROWS rows of plain fields (no quoting), every number one
Python reads, times that never go back, elapsed seconds that keep pace with
the clock, and levels to the microvolt, the first row's being LEVELS (eight
mV, comma-separated, as written)."""
import csv, datetime, re, sys

COLUMNS = (["time_utc", "elapsed_s", "period_ms"] + ["count_ch%d" % c for c in range(8)]
           + ["threshold_mv_ch%d" % c for c in range(8)] + ["sweep"])


def utc(text):
    return datetime.datetime.strptime(text, "%Y-%m-%dT%H:%M:%S.%fZ").timestamp()


def problem(path, count, first_levels):
    lines = open(path, newline="", encoding="utf-8").read().splitlines()
    rows = list(csv.reader(lines))
    if rows[0] != COLUMNS or len(rows) - 1 != count or rows != [line.split(",") for line in lines]:
        return "header %r, %d rows for %d readings, or quoted fields" % (rows[0], len(rows) - 1, count)
    last = ("", -1.0)
    for n, row in enumerate(rows[1:], 1):
        if not re.fullmatch(r"\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z", row[0]) or not re.fullmatch(r"\d+\.\d{3}", row[1]) \
                or row[0] < last[0] or float(row[1]) < last[1] or row[2] != "50" or row[19] not in ("0", "1") \
                or not all(re.fullmatch(r"\d+(\.\d{1,3})?", v) and float(v) <= 1000 for v in row[11:19]):
            return "row %d: %r after %r" % (n, row, last)
        last = (row[0], float(row[1]))
        [float(v) for v in row[3:11]]
    if rows[1][11:19] != first_levels.split(","):
        return "first row's levels %r, expected %s" % (rows[1][11:19], first_levels)
    clock, elapsed = utc(rows[-1][0]) - utc(rows[1][0]), float(rows[-1][1]) - float(rows[1][1])
    if abs(clock - elapsed) > 0.5:
        return "elapsed_s ran %.3f while the clock ran %.3f s" % (elapsed, clock)
    return None


if __name__ == "__main__":
    found = problem(sys.argv[1], int(sys.argv[2]), sys.argv[3])
    if found:
        sys.exit(found)
