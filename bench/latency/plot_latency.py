#!/usr/bin/python3
"""Plots the click latencies that qw-latency wrote (--csv) as distribution curves.

    plot_latency.py LATENCY.csv OUT.png

Two panels, idle and with both cores busy. In each, one cumulative distribution per buffer
length: Quillwave (solid; from the IO cycle that takes the click into the device) and the
PulseAudio null-sink pipeline at the same buffer length (dashed; from the write into its
playback stream), and the receiver pipeline (dotted: qwreceiver at its defaults; dash-dot: at
the lower setting; sparse dots: another build's qwreceiver at its defaults, when measured), from
the same IO cycle as Quillwave. Needs python3-matplotlib.

When the CSV has PulseAudio RTP rows (pipeline pulse-rtp, buffer_frames holding module-rtp-recv's
latency_msec: 0 its default, -1 the capture path alone), their distributions go to a second
plot next to OUT.png, OUT-rtp.png.
"""
import csv
import sys
from collections import defaultdict

import matplotlib

matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402

COLOURS = {64: "#1b9e77", 128: "#7570b3", 256: "#d95f02", 512: "#e7298a"}
NAMES = {"quillwave": "Quillwave", "pulseaudio": "PulseAudio", "receiver": "to qwreceiver",
         "receiver-low": "to qwreceiver, lower", "old-receiver": "to the old qwreceiver"}


def plot_rtp(rows, path):
    """One cumulative distribution per module-rtp-recv setting; dashed: both cores busy."""
    series = defaultdict(list)
    for row in rows:
        series[(int(row["buffer_frames"]), row["load"])].append(float(row["latency_ms"]))
    fig, ax = plt.subplots(figsize=(9, 4.6))
    settings = sorted({setting for setting, _ in series})
    colours = plt.get_cmap("viridis")
    for n, setting in enumerate(settings):
        name = {-1: "capture path only", 0: "defaults"}.get(setting, f"latency_msec={setting}")
        for load, style in (("idle", "-"), ("loaded", "--")):
            values = sorted(series.get((setting, load), []))
            if not values:
                continue
            fraction = [(i + 1) / len(values) for i in range(len(values))]
            label = name + (", both cores busy" if load == "loaded" else "")
            ax.step(values, fraction, where="post", linestyle=style, linewidth=1.8,
                    color=colours(n / max(1, len(settings) - 1)), label=label)
    ax.set_xscale("log")
    ax.set_title("PulseAudio RTP (module-rtp-send to module-rtp-recv, 127.0.0.1): "
                 "click to receiving app", fontsize=10)
    ax.set_xlabel("latency (ms, log scale)")
    ax.set_ylabel("fraction of clicks arrived")
    ax.grid(True, which="both", alpha=0.3)
    ax.legend(loc="lower right", fontsize=8)
    fig.tight_layout()
    fig.savefig(path, dpi=110)


def main():
    if len(sys.argv) != 3:
        sys.exit(__doc__)
    series = defaultdict(list)
    rtp_rows = []
    with open(sys.argv[1], newline="") as f:
        for row in csv.DictReader(f):
            if row["basis"] != "device":
                continue
            if row["pipeline"] == "pulse-rtp":
                rtp_rows.append(row)
                continue
            key = (row["load"], row["pipeline"], int(row["buffer_frames"]))
            series[key].append(float(row["latency_ms"]))

    fig, axes = plt.subplots(1, 2, figsize=(12, 4.6), sharey=True)
    for ax, load, title in ((axes[0], "idle", "idle"), (axes[1], "loaded", "both cores busy")):
        for pipeline, style in (("quillwave", "-"), ("pulseaudio", "--"), ("receiver", ":"),
                                ("receiver-low", "-."), ("old-receiver", (0, (1, 4)))):
            for frames in sorted(COLOURS):
                values = sorted(series.get((load, pipeline, frames), []))
                if not values:
                    continue
                fraction = [(i + 1) / len(values) for i in range(len(values))]
                name = NAMES[pipeline]
                ax.step(values, fraction, where="post", color=COLOURS[frames],
                        linestyle=style, linewidth=1.8, label=f"{name}, {frames} frames")
        ax.set_xscale("log")
        ax.set_title(f"Click to receiving app, {title}")
        ax.set_xlabel("latency (ms, log scale)")
        ax.grid(True, which="both", alpha=0.3)
    axes[0].set_ylabel("fraction of clicks arrived")
    for ax in axes:  # each panel its own: the lower receiver setting is measured idle only
        ax.legend(loc="lower right", fontsize=7, ncol=2)
    fig.suptitle("Quillwave (solid), PulseAudio null sink + parec + socat (dashed), Quillwave "
                 "into qwreceiver and PulseAudio (dotted, dash-dot); same buffer per colour",
                 fontsize=10)
    fig.tight_layout()
    fig.savefig(sys.argv[2], dpi=110)
    if rtp_rows:
        plot_rtp(rtp_rows, sys.argv[2].removesuffix(".png") + "-rtp.png")


if __name__ == "__main__":
    main()
