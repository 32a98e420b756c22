#!/usr/bin/env python3
"""Reads a recording with the csv module and checks it against the readings
the session published: same count, same values (bit for bit, any NaN for a
NaN), the sweep marks, times that never go back.

    check_recording.py RECORDING.csv EXPECTED.txt
EXPECTED.txt: one line per reading, the sweep flag then eight hex binary64."""
import csv
import datetime
import math
import re
import struct
import sys

COLUMNS = (["time_utc", "elapsed_s", "period_ms"] + ["count_ch%d" % c for c in range(8)]
           + ["threshold_mv_ch%d" % c for c in range(8)] + ["sweep"])


def same(a, b):
    return (math.isnan(a) and math.isnan(b)) or struct.pack("<d", a) == struct.pack("<d", b)


def main(path, expected_path):
    expected = [line.split() for line in open(expected_path) if line.strip()]
    with open(path, newline="", encoding="utf-8") as f:
        rows = list(csv.reader(f))
    if rows[0] != COLUMNS:
        return "header %r" % rows[0]
    rows = rows[1:]
    if len(rows) != len(expected):
        return "%d rows, %d readings" % (len(rows), len(expected))
    last_time, last_elapsed = None, -1.0
    for n, (row, want) in enumerate(zip(rows, expected), 1):
        if len(row) != len(COLUMNS):
            return "row %d has %d fields" % (n, len(row))
        if not re.fullmatch(r"\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z", row[0]) or not re.fullmatch(r"\d+\.\d{3}", row[1]):
            return "row %d: times %s, %s" % (n, row[0], row[1])
        when = datetime.datetime.fromisoformat(row[0].replace("Z", "+00:00"))
        elapsed = float(row[1])
        if (last_time and when < last_time) or elapsed < last_elapsed:
            return "row %d: time goes back" % n
        last_time, last_elapsed = when, elapsed
        if int(row[2]) != 50:
            return "row %d: period %s" % (n, row[2])
        for ch in range(8):
            got = float(row[3 + ch])
            want_v = struct.unpack("<d", bytes.fromhex(want[1 + ch]))[0]
            if not same(got, want_v):
                return "row %d ch %d: %r, published %r" % (n, ch, got, want_v)
        if not all(v and 0 <= float(v) <= 1000 for v in row[11:19]):
            return "row %d: levels %r" % (n, row[11:19])
        if row[19] != want[0]:
            return "row %d: sweep mark %s" % (n, row[19])
    return None


if __name__ == "__main__":
    problem = main(sys.argv[1], sys.argv[2])
    if problem:
        print(problem)
        sys.exit(1)
