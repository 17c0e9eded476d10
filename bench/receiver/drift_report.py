#!/usr/bin/python3
"""Summarises qwreceiver's once-a-second figures from null-output runs at known clock skews.

    drift_report.py OUT.png PPM=RECEIVER.log [PPM=RECEIVER.log ...]

For each run: time to lock (from the first figures line to the first second after which the
estimate stays within 20 ppm of the true skew), the estimate after lock (mean), the buffer
level after lock (min and max of the smoothed level) and the underruns and overruns after
lock. Prints a Markdown table and plots estimate and level against time (python3-matplotlib).
"""
import re
import sys

LINE = re.compile(r"figures: buffer ([0-9.]+)/([0-9.]+) ms \S drift ([+-]?[0-9]+) ppm \S "
                  r"underruns ([0-9]+) \S overruns ([0-9]+)")


def parse(path):
    rows = []
    with open(path, encoding="utf-8", errors="replace") as f:
        for line in f:
            m = LINE.search(line)
            if m:
                rows.append(tuple(float(g) for g in m.groups()))
    return rows


def main():
    out = sys.argv[1]
    runs = []
    for arg in sys.argv[2:]:
        ppm, path = arg.split("=", 1)
        runs.append((float(ppm), parse(path)))
    print("| clock skew | time to lock | estimate after lock | buffer after lock (min–max) "
          "| underruns / overruns after lock | seconds |")
    print("|---:|---:|---:|---:|---:|---:|")
    for ppm, rows in runs:
        lock = None
        for i in range(len(rows)):
            if all(abs(r[2] - ppm) <= 20 for r in rows[i:]):
                lock = i
                break
        if lock is None:
            print(f"| {ppm:+.0f} ppm | no lock | | | | {len(rows)} |")
            continue
        after = rows[lock:]
        est = sum(r[2] for r in after) / len(after)
        lo, hi = min(r[0] for r in after), max(r[0] for r in after)
        under = after[-1][3] - after[0][3]
        over = after[-1][4] - after[0][4]
        print(f"| {ppm:+.0f} ppm | {lock} s | {est:+.1f} ppm | {lo:.1f}–{hi:.1f} ms "
              f"(target {after[-1][1]:g}) | {under:.0f} / {over:.0f} | {len(rows)} |")
    try:
        import matplotlib
        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
    except ImportError:
        print("(no plot: python3-matplotlib missing)")
        return
    fig, (top, bottom) = plt.subplots(2, 1, figsize=(8, 6), sharex=True)
    for ppm, rows in runs:
        t = list(range(len(rows)))
        top.plot(t, [r[2] for r in rows], label=f"{ppm:+.0f} ppm")
        bottom.plot(t, [r[0] for r in rows], label=f"{ppm:+.0f} ppm")
    top.set_ylabel("drift estimate (ppm)")
    bottom.set_ylabel("buffer level (ms)")
    bottom.set_xlabel("seconds since the connection")
    top.legend(loc="center right", fontsize="small")
    top.set_title("qwreceiver --null-output --clock-ppm N: following the clock")
    fig.tight_layout()
    fig.savefig(out, dpi=110)
    print(f"plot: {out}")


if __name__ == "__main__":
    main()
