#!/usr/bin/env python3
"""check_recording.py RECORDING.csv EXPECTED.txt LEVELS: reads a recording with
the csv module and checks it holds exactly the readings the session published
(EXPECTED.txt: per reading the sweep flag and eight hex binary64), bit for bit
(any NaN for a NaN), with times that never go back, elapsed seconds that keep
pace with the clock, and levels to the microvolt, the first row's being LEVELS
(eight mV, comma-separated, as written)."""
import csv, datetime, math, re, struct, sys

COLUMNS = (["time_utc", "elapsed_s", "period_ms"] + ["count_ch%d" % c for c in range(8)]
           + ["threshold_mv_ch%d" % c for c in range(8)] + ["sweep"])


def utc(text):
    return datetime.datetime.strptime(text, "%Y-%m-%dT%H:%M:%S.%fZ").timestamp()


def problem(path, expected_path, first_levels):
    expected = [line.split() for line in open(expected_path) if line.strip()]
    rows = list(csv.reader(open(path, newline="", encoding="utf-8")))
    if rows[0] != COLUMNS or len(rows) - 1 != len(expected):
        return "header %r, %d rows for %d readings" % (rows[0], len(rows) - 1, len(expected))
    last = ("", -1.0)
    for n, (row, want) in enumerate(zip(rows[1:], expected), 1):
        if len(row) != len(COLUMNS) or not re.fullmatch(r"\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z", row[0]) \
                or not re.fullmatch(r"\d+\.\d{3}", row[1]) or row[0] < last[0] or float(row[1]) < last[1]:
            return "row %d: %r after %r" % (n, row[:2], last)
        last = (row[0], float(row[1]))
        for ch in range(8):
            got, sent = float(row[3 + ch]), struct.unpack("<d", bytes.fromhex(want[1 + ch]))[0]
            if not (math.isnan(got) and math.isnan(sent)) and struct.pack("<d", got) != struct.pack("<d", sent):
                return "row %d ch %d: %r, published %r" % (n, ch, got, sent)
        if row[2] != "50" or row[19] != want[0] or not all(re.fullmatch(r"\d+(\.\d{1,3})?", v) and float(v) <= 1000
                                                           for v in row[11:19]):
            return "row %d: period, levels or sweep mark wrong: %r" % (n, row)
    if rows[1][11:19] != first_levels.split(","):
        return "first row's levels %r, expected %s" % (rows[1][11:19], first_levels)
    clock, elapsed = utc(rows[-1][0]) - utc(rows[1][0]), float(rows[-1][1]) - float(rows[1][1])
    if abs(clock - elapsed) > 0.5:
        return "elapsed_s ran %.3f while the clock ran %.3f s" % (elapsed, clock)
    return None


if __name__ == "__main__":
    found = problem(sys.argv[1], sys.argv[2], sys.argv[3])
    if found:
        sys.exit(found)
