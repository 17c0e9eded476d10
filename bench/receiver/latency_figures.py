#!/usr/bin/python3
"""The receiver's added latency from its once-a-second figures, playing through PulseAudio:
buffer level + the resampler's delay (0.67 ms) + the stream latency PulseAudio reports (the
time until a sample written now leaves the sink). Skips the first SKIP seconds (lock).

    latency_figures.py RECEIVER.log [SKIP]

Prints: median and 99th percentile of the sum, and the underruns, overruns and PulseAudio
underflows counted after SKIP.
"""
import re
import sys

LINE = re.compile(r"figures: buffer ([0-9.]+)/([0-9.]+) ms .* underruns ([0-9]+) \S overruns "
                  r"([0-9]+) .*pulse latency ([0-9.]+) ms \S pulse underflows ([0-9]+)")
RESAMPLER_MS = 32 / 48.0

rows = []
with open(sys.argv[1], encoding="utf-8", errors="replace") as f:
    for line in f:
        m = LINE.search(line)
        if m:
            rows.append([float(g) for g in m.groups()])
skip = int(sys.argv[2]) if len(sys.argv) > 2 else 5
rows = rows[skip:]
if not rows:
    print("no figures")
    sys.exit(1)
total = sorted(r[0] + RESAMPLER_MS + r[4] for r in rows)
median = total[len(total) // 2]
p99 = total[min(len(total) - 1, int(0.99 * len(total)))]
print(f"added {median:.1f} ms median, {p99:.1f} ms p99; target {rows[-1][1]:g} ms; "
      f"underruns {rows[-1][2] - rows[0][2]:.0f}, overruns {rows[-1][3] - rows[0][3]:.0f}, "
      f"pulse underflows {rows[-1][5] - rows[0][5]:.0f}; {len(rows)} s")
