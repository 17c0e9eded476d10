#!/usr/bin/python3
"""Summarises qwreceiver's once-a-second figures from null-output runs at known clock skews.

    drift_report.py OUT.png PPM=RECEIVER.log[,BRIDGE.log] [PPM=...]

Seconds count from the connection (the first figures line with frames in). For each run: time
to lock (to the first second from which the estimate stays within 20 ppm of the true skew for
30 s), the estimate after lock (mean, range, and the share of seconds within 20 ppm), the
buffer level after lock (min, median, max of the smoothed level), the target's range after
lock, and the underruns and overruns after lock.
Prints a Markdown table and plots estimate and level against time (python3-matplotlib).

With the bridge's log (tetherstream's output) as well, each underrun is set beside the stalls
around it: the receiver's worst output wake-up delay ("worst wake-up late", per second) in that
second and the ones either side, and the bridge's largest gap between captures (its ⏱ maxGap
lines) between the reports (📊 lines) of two seconds before and one after. For comparison, how
often such stalls happen in any second of the run.
"""
import re
import statistics
import sys

LINE = re.compile(r"figures: buffer ([0-9.]+)/([0-9.]+) ms \S drift ([+-]?[0-9]+) ppm \S "
                  r"underruns ([0-9]+) \S overruns ([0-9]+)")
FRAMES_IN = re.compile(r"frames in ([0-9]+)")
LATE = re.compile(r"wake-up late ([0-9.]+) ms")
GAP = re.compile(r"maxGap=([0-9.]+)ms")

# Stalls worth naming: the bridge's captures this far apart (one is due every 5.33 ms), or the
# receiver's output woken this late (it wakes every millisecond).
STALL_GAP_MS = 8.0
STALL_LATE_MS = 3.0
# Locked: the estimate within this of the true skew, for this many seconds in a row.
LOCK_PPM = 20
LOCK_SECONDS = 30


def parse(path):
    """Rows (level, target, drift, underruns, overruns, wake-up late) from the connection on."""
    rows = []
    with open(path, encoding="utf-8", errors="replace") as f:
        for line in f:
            m = LINE.search(line)
            if not m:
                continue
            frames_in = FRAMES_IN.search(line)
            if not rows and frames_in and int(frames_in.group(1)) == 0:
                continue
            late = LATE.search(line)
            rows.append(tuple(float(g) for g in m.groups()) +
                        (float(late.group(1)) if late else 0.0,))
    return rows


def bridge_gaps(path):
    """For each report line the bridge printed, the maxGap lines printed since the one before."""
    per_report, current = [], []
    with open(path, encoding="utf-8", errors="replace") as f:
        for line in f:
            if "\U0001F4CA" in line:
                per_report.append(current)
                current = []
            else:
                m = GAP.search(line)
                if m:
                    current.append(float(m.group(1)))
    per_report.append(current)
    return per_report


def lock_second(rows, ppm):
    """The first second from which the estimate stays within 20 ppm for LOCK_SECONDS."""
    for i in range(len(rows)):
        if all(abs(r[2] - ppm) <= LOCK_PPM for r in rows[i:i + LOCK_SECONDS]):
            return i
    return None


def table(runs):
    print("| clock skew | time to lock | estimate after lock: mean (range) "
          "| seconds within 20 ppm | buffer after lock: min / median / max "
          "| target after lock | underruns / overruns after lock | seconds |")
    print("|---:|---:|---:|---:|---:|---:|---:|---:|")
    for ppm, rows, _ in runs:
        lock = lock_second(rows, ppm)
        if lock is None:
            print(f"| {ppm:+.0f} ppm | no lock | | | | | | {len(rows)} |")
            continue
        after = rows[lock:]
        est = [r[2] for r in after]
        within = sum(1 for e in est if abs(e - ppm) <= LOCK_PPM)
        level = [r[0] for r in after]
        target = [r[1] for r in after]
        under = after[-1][3] - after[0][3]
        over = after[-1][4] - after[0][4]
        print(f"| {ppm:+.0f} ppm | {lock} s | {statistics.mean(est):+.1f} ppm "
              f"({min(est):+.0f} to {max(est):+.0f}) | {100 * within / len(est):.0f} % | "
              f"{min(level):.1f} / {statistics.median(level):.1f} / {max(level):.1f} ms | "
              f"{min(target):g}–{max(target):g} ms | {under:.0f} / {over:.0f} | {len(rows)} |")


def stalls(runs):
    for ppm, rows, gaps in runs:
        if gaps is None:
            continue
        # gaps[k] holds the maxGap lines before report k (report k is figures row k).
        def gap_near(i):
            window = [g for k in range(max(0, i - 1), min(len(gaps), i + 2)) for g in gaps[k]]
            return max(window, default=0.0)

        def late_near(i):
            return max(r[5] for r in rows[max(0, i - 1):i + 2])

        lock = lock_second(rows, ppm)
        print(f"\n{ppm:+.0f} ppm: underruns (second since the connection: target before → after, "
              f"receiver wake-up late ms, bridge maxGap ms nearby)")
        found = 0
        for i in range(1, len(rows)):
            n = rows[i][3] - rows[i - 1][3]
            if n <= 0:
                continue
            found += 1
            mark = "after lock" if lock is not None and i > lock else "before lock"
            print(f"  {i} s ({mark}, {n:.0f}): target {rows[i - 1][1]:g} → {rows[i][1]:g} ms, "
                  f"late {late_near(i):.1f}, maxGap {gap_near(i):.1f}")
        if not found:
            print("  none")
        seconds = range(1, len(rows))
        with_gap = sum(1 for i in seconds if gap_near(i) >= STALL_GAP_MS)
        with_late = sum(1 for i in seconds if late_near(i) >= STALL_LATE_MS)
        print(f"  any second: a maxGap ≥ {STALL_GAP_MS:g} ms nearby in {with_gap} of "
              f"{len(rows) - 1}, a wake-up ≥ {STALL_LATE_MS:g} ms late nearby in {with_late}")


def plot(out, runs):
    try:
        import matplotlib
        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
    except ImportError:
        print("(no plot: python3-matplotlib missing)")
        return
    fig, (top, bottom) = plt.subplots(2, 1, figsize=(9, 6.5), sharex=True)
    for ppm, rows, _ in runs:
        t = list(range(len(rows)))
        line, = top.plot(t, [r[2] - ppm for r in rows], label=f"{ppm:+.0f} ppm", linewidth=0.8)
        bottom.plot(t, [r[0] for r in rows], color=line.get_color(), linewidth=0.8)
        bottom.plot(t, [r[1] for r in rows], color=line.get_color(), linewidth=0.6,
                    linestyle=":")
    top.set_ylim(-150, 150)
    top.axhline(20, color="grey", linewidth=0.5)
    top.axhline(-20, color="grey", linewidth=0.5)
    top.set_ylabel("estimate − true skew (ppm)")
    bottom.set_ylabel("buffer level, target dotted (ms)")
    bottom.set_xlabel("seconds since the connection")
    top.legend(loc="upper right", fontsize="small", ncol=4)
    top.set_title("qwreceiver --null-output --clock-ppm N: following the clock")
    fig.tight_layout()
    fig.savefig(out, dpi=110)
    print(f"plot: {out}")


def main():
    out = sys.argv[1]
    runs = []
    for arg in sys.argv[2:]:
        ppm, paths = arg.split("=", 1)
        receiver_log, _, bridge_log = paths.partition(",")
        runs.append((float(ppm), parse(receiver_log),
                     bridge_gaps(bridge_log) if bridge_log else None))
    table(runs)
    stalls(runs)
    plot(out, runs)


if __name__ == "__main__":
    main()
