#!/usr/bin/python3
"""Summarises qwreceiver's once-a-second figures from null-output runs at known clock skews.

    drift_report.py OUT.png [NAME:]PPM=RECEIVER.log[,BRIDGE.log] [...]

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

Where the receiver's folder holds stalls.log (run-drift --stalls), each injected stall with the
estimate's largest distance from the true skew from a second before it to ten seconds after,
and how long after the last one the target came back within 1 ms of its lowest value. Where it
holds quality.txt written with qw-sine-quality --all, the 100 ms windows more than 300 ms from
an underrun (placed by the receiver's count of frames played, which is the WAV's sample count):
worst, how many below 80 dB, the median pitch and how many windows are within 0.02 Hz of it.
"""
import os
import re
import statistics
import sys

LINE = re.compile(r"figures: buffer ([0-9.]+)/([0-9.]+) ms \S drift ([+-]?[0-9]+) ppm \S "
                  r"underruns ([0-9]+) \S overruns ([0-9]+)")
FRAMES_IN = re.compile(r"frames in ([0-9]+)")
FRAMES_OUT = re.compile(r"frames in [0-9]+ out ([0-9]+)")
WINDOW = re.compile(r"window at ([0-9.]+) s: ([-0-9.]+) dB, ([0-9.]+) Hz")
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
            out = FRAMES_OUT.search(line)
            rows.append(tuple(float(g) for g in m.groups()) +
                        (float(late.group(1)) if late else 0.0,
                         float(out.group(1)) if out else 0.0))
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
    for name, ppm, rows, _ in runs:
        lock = lock_second(rows, ppm)
        if lock is None:
            print(f"| {name} | no lock | | | | | | {len(rows)} |")
            continue
        after = rows[lock:]
        est = [r[2] for r in after]
        within = sum(1 for e in est if abs(e - ppm) <= LOCK_PPM)
        level = [r[0] for r in after]
        target = [r[1] for r in after]
        under = after[-1][3] - after[0][3]
        over = after[-1][4] - after[0][4]
        print(f"| {name} | {lock} s | {statistics.mean(est):+.1f} ppm "
              f"({min(est):+.0f} to {max(est):+.0f}) | {100 * within / len(est):.0f} % | "
              f"{min(level):.1f} / {statistics.median(level):.1f} / {max(level):.1f} ms | "
              f"{min(target):g}–{max(target):g} ms | {under:.0f} / {over:.0f} | {len(rows)} |")


def stalls(runs):
    for name, ppm, rows, gaps in runs:
        if gaps is None:
            continue
        # gaps[k] holds the maxGap lines before report k (report k is figures row k).
        def gap_near(i):
            window = [g for k in range(max(0, i - 1), min(len(gaps), i + 2)) for g in gaps[k]]
            return max(window, default=0.0)

        def late_near(i):
            return max(r[5] for r in rows[max(0, i - 1):i + 2])

        lock = lock_second(rows, ppm)
        print(f"\n{name}: underruns (second since the connection: target before → after, "
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


def injected(runs, folders):
    """Each injected stall beside the estimate; the target's return after the last one."""
    for (name, ppm, rows, _), folder in zip(runs, folders):
        path = os.path.join(folder, "stalls.log")
        if not os.path.exists(path):
            continue
        stalls = []
        with open(path, encoding="utf-8") as f:
            for line in f:
                at, who, ms = line.split()
                stalls.append((float(at), who, float(ms)))
        lock = lock_second(rows, ppm)
        print(f"\n{name}: injected stalls (second, which, ms stopped: estimate's largest "
              f"distance from {ppm:+.0f} ppm from 1 s before to 10 s after; underruns)")
        worst_all = 0.0
        for at, who, ms in stalls:
            i = int(at)
            span = rows[max(0, i - 1):i + 11]
            if not span:
                continue
            worst = max(abs(r[2] - ppm) for r in span)
            if lock is not None and i - 1 > lock:
                worst_all = max(worst_all, worst)
            under = span[-1][3] - span[0][3]
            print(f"  {at:.1f} s {who} {ms:.0f} ms: {worst:.0f} ppm, {under:.0f} underruns"
                  f"{'' if lock is not None and i - 1 > lock else ' (before lock)'}")
        print(f"  after lock, largest distance around a stall: {worst_all:.0f} ppm")
        if stalls and lock is not None:
            last = int(stalls[-1][0]) + 1
            lowest = min(r[1] for r in rows[lock:])
            back = None
            for i in range(last, len(rows)):
                if all(r[1] <= lowest + 1.0 for r in rows[i:]):
                    back = i - last
                    break
            print(f"  target's lowest after lock {lowest:g} ms; within 1 ms of it "
                  f"{'never' if back is None else f'{back} s'} after the last stall "
                  f"(run goes on {len(rows) - last} s)")


def quality(runs, folders):
    """The windows away from underruns, placed by the receiver's count of frames played."""
    for (name, ppm, rows, _), folder in zip(runs, folders):
        path = os.path.join(folder, "quality.txt")
        if not os.path.exists(path):
            continue
        first, windows = None, []
        with open(path, encoding="utf-8") as f:
            for line in f:
                if line.startswith("sound from sample "):
                    first = int(line.split()[-1])
                m = WINDOW.match(line)
                if m:
                    windows.append(tuple(float(g) for g in m.groups()))
        if first is None or not windows:
            continue
        # Each underrun lies between two figures lines: between their frames-played counts.
        spans = [(rows[i - 1][6] / 48000 - 0.3, rows[i][6] / 48000 + 0.3)
                 for i in range(1, len(rows)) if rows[i][3] > rows[i - 1][3]]
        kept = []
        for at, snr, hz in windows:
            start = (first + at * 48000) / 48000
            if not any(start + 0.1 > a and start < b for a, b in spans):
                kept.append((at, snr, hz))
        if not kept:
            continue
        expected = 1000 / (1 + ppm * 1e-6)
        pitch = statistics.median(k[2] for k in kept)
        low = [k for k in kept if k[1] < 80]
        within = sum(1 for k in kept if abs(k[2] - expected) <= 0.02)
        print(f"\n{name}: {len(kept)} of {len(windows)} windows more than 300 ms from an "
              f"underrun: worst {min(k[1] for k in kept):.1f} dB, {len(low)} below 80 dB, "
              f"median pitch {pitch:.3f} Hz (expected {expected:.3f}), "
              f"{100 * within / len(kept):.1f} % of windows within 0.02 Hz of it")
        for at, snr, hz in low[:40]:
            print(f"  {at:.1f} s: {snr:.1f} dB, {hz:.3f} Hz")


def plot(out, runs):
    try:
        import matplotlib
        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
    except ImportError:
        print("(no plot: python3-matplotlib missing)")
        return
    fig, (top, bottom) = plt.subplots(2, 1, figsize=(9, 6.5), sharex=True)
    for name, ppm, rows, _ in runs:
        t = list(range(len(rows)))
        line, = top.plot(t, [r[2] - ppm for r in rows], label=name, linewidth=0.8)
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
    runs, folders = [], []
    for arg in sys.argv[2:]:
        label, paths = arg.split("=", 1)
        name, _, ppm = label.rpartition(":")
        receiver_log, _, bridge_log = paths.partition(",")
        runs.append((name or f"{float(ppm):+.0f} ppm", float(ppm), parse(receiver_log),
                     bridge_gaps(bridge_log) if bridge_log else None))
        folders.append(os.path.dirname(os.path.abspath(receiver_log)))
    table(runs)
    stalls(runs)
    injected(runs, folders)
    quality(runs, folders)
    plot(out, runs)


if __name__ == "__main__":
    main()
