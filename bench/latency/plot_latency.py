#!/usr/bin/python3
"""Plots the click latencies that qw-latency wrote (--csv) as distribution curves.

    plot_latency.py LATENCY.csv OUT.png

Two panels, idle and with both cores busy; in each, one cumulative distribution per Quillwave
device buffer (counted from the IO cycle that takes the click into the device) and one for the
PulseAudio null-sink pipeline (counted from the write into pacat). Needs python3-matplotlib.
"""
import csv
import sys
from collections import defaultdict

import matplotlib

matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402


def main():
    if len(sys.argv) != 3:
        sys.exit(__doc__)
    series = defaultdict(list)
    with open(sys.argv[1], newline="") as f:
        for row in csv.DictReader(f):
            if row["basis"] != "device":
                continue
            key = (row["pipeline"], int(row["buffer_frames"]), row["load"])
            series[key].append(float(row["latency_ms"]))

    fig, axes = plt.subplots(1, 2, figsize=(11, 4.2), sharey=True)
    colours = {64: "#1b9e77", 128: "#7570b3", 256: "#d95f02", 512: "#e7298a"}
    for ax, load, title in ((axes[0], "idle", "idle"), (axes[1], "loaded", "both cores busy")):
        for (pipeline, frames, run_load), values in sorted(series.items()):
            if run_load != load or not values:
                continue
            values = sorted(values)
            fraction = [(i + 1) / len(values) for i in range(len(values))]
            if pipeline == "quillwave":
                label = f"Quillwave, {frames}-frame buffer"
                style = dict(color=colours.get(frames, "gray"), linewidth=2)
            else:
                label = "PulseAudio null sink + parec + socat"
                style = dict(color="black", linewidth=2, linestyle="--")
            ax.step(values, fraction, where="post", label=label, **style)
        ax.set_xscale("log")
        ax.set_title(f"Click to receiving app, {title}")
        ax.set_xlabel("latency (ms, log scale)")
        ax.grid(True, which="both", alpha=0.3)
    axes[0].set_ylabel("fraction of clicks arrived")
    axes[0].legend(loc="lower right", fontsize=8)
    fig.tight_layout()
    fig.savefig(sys.argv[2], dpi=110)


if __name__ == "__main__":
    main()
