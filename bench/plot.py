#!/usr/bin/python3
"""Gathers one `make bench` run's figures into a summary and draws them.

    bench/plot.py OUT_DIR

Reads OUT_DIR/<tier>/*.json (tier: native, win32), as video_bench and the four-camera scenarios
write them, and writes OUT_DIR/summary.json (every figure, without the raw latency samples, and the
targets met or not), OUT_DIR/latency.png (paced latency distributions per size, engine beside bare
FFmpeg) and OUT_DIR/cpu_per_camera.png (CPU per camera per scenario). Prints the headline figures.
"""
import glob
import json
import os
import sys

import matplotlib

matplotlib.use("Agg")  # no display: files only
import matplotlib.pyplot as plt  # noqa: E402

TIERS = ("native", "win32")
TARGETS = {
    "ratio_native": 1.05,  # engine / bare, one by one and paced, natively
    "p99_gap_ms": 1.0,  # engine p99 - bare p99, paced
    "excess_p99_ms": 1.0,  # engine - bare per picture, p99 (keyframes and the others apart)
    "dropped_4x1080": 0,
    "idle_consumer_percent": 2.0,  # per camera, with a consumer
    "idle_no_consumer_percent": 0.5,  # per camera, without
}


def load(out_dir):
    runs = {}
    for tier in TIERS:
        for path in sorted(glob.glob(os.path.join(out_dir, tier, "*.json"))):
            with open(path) as f:
                try:
                    data = json.load(f)
                except json.JSONDecodeError as error:
                    print(f"plot: {path}: {error}", file=sys.stderr)
                    continue
            runs.setdefault(tier, []).append(data)
    return runs


def without_samples(video):
    sizes = []
    for size in video.get("sizes", []):
        size = dict(size)
        latency = size.get("latency_ms")
        if latency:
            size["latency_ms"] = {path: {k: v for k, v in figures.items() if k != "samples"}
                                  for path, figures in latency.items()}
        sizes.append(size)
    return dict(video, sizes=sizes)


def judge(tier, video, scenarios):
    """The targets this tier's figures meet (True), miss (False) or do not cover (absent)."""
    met = {}
    for size in video.get("sizes", []) if video else []:
        name = size["size"]
        if tier == "native":
            met[f"one_by_one_ratio {name} <= {TARGETS['ratio_native']}"] = size["one_by_one_ratio"] <= TARGETS["ratio_native"]
            if size.get("paced_ratio") is not None:
                met[f"paced_ratio {name} <= {TARGETS['ratio_native']}"] = size["paced_ratio"] <= TARGETS["ratio_native"]
        if size.get("p99_gap_ms") is not None:
            met[f"p99 gap {name} <= {TARGETS['p99_gap_ms']} ms"] = size["p99_gap_ms"] <= TARGETS["p99_gap_ms"]
        for kind, excess in size.get("excess_ms", {}).items():
            met[f"per-picture excess p99 {name} {kind} <= {TARGETS['excess_p99_ms']} ms"] = (
                excess["p99"] <= TARGETS["excess_p99_ms"])
    for run in scenarios:
        scenario = run.get("scenario", "?")
        if run.get("bench") == "scale" and run.get("height") == 1080 and run.get("cameras") == 4:
            met[f"{scenario}: 0 dropped"] = run.get("ok", False) and run.get("dropped", 1) == TARGETS["dropped_4x1080"]
        if run.get("bench") == "idle":
            limit = TARGETS["idle_consumer_percent" if run.get("consumer") else "idle_no_consumer_percent"]
            met[f"{scenario}: <= {limit} % per camera"] = run.get("cpu_percent_per_camera", 1e9) <= limit
    return met


def plot_latency(runs, path):
    panels = [(tier, size) for tier in TIERS for video in runs.get(tier, []) if video.get("bench") == "video"
              for size in video.get("sizes", []) if size.get("latency_ms")]
    if not panels:
        return False
    fig, axes = plt.subplots(1, len(panels), figsize=(4.2 * len(panels), 3.6), squeeze=False)
    for ax, (tier, size) in zip(axes[0], panels):
        for label, colour in (("bare", "tab:gray"), ("engine", "tab:blue")):
            samples = sorted(size["latency_ms"][label]["samples"])
            if not samples:
                continue
            share = [100.0 * (i + 1) / len(samples) for i in range(len(samples))]
            ax.plot(samples, share, color=colour, label=f"{label} (p99 {size['latency_ms'][label]['p99']:.2f} ms)")
        ax.set_title(f"{tier} {size['size']}, paced 30 fps")
        ax.set_xlabel("packet to picture in the slot, ms")
        ax.set_ylabel("% of pictures at or below")
        ax.grid(alpha=0.3)
        ax.legend(loc="lower right", fontsize=8)
    fig.tight_layout()
    fig.savefig(path, dpi=110)
    plt.close(fig)
    return True


def plot_cpu(runs, path):
    bars = [(tier, run) for tier in TIERS for run in runs.get(tier, [])
            if run.get("bench") in ("scale", "idle") and run.get("cpu_percent_per_camera") is not None]
    if not bars:
        return False
    fig, ax = plt.subplots(figsize=(max(6.0, 0.7 * len(bars) + 2), 4.0))
    labels = [f"{run['scenario']}\n{tier}" for tier, run in bars]
    values = [run["cpu_percent_per_camera"] for _, run in bars]
    colours = ["tab:blue" if tier == "native" else "tab:orange" for tier, _ in bars]
    ax.bar(range(len(bars)), values, color=colours)
    for i, value in enumerate(values):
        ax.text(i, value, f"{value:.1f}", ha="center", va="bottom", fontsize=8)
    ax.set_xticks(range(len(bars)))
    ax.set_xticklabels(labels, fontsize=7, rotation=45, ha="right")
    ax.set_ylabel("% of one core per camera")
    ax.set_title("CPU per camera (blue: native, orange: under Wine)")
    ax.grid(axis="y", alpha=0.3)
    fig.tight_layout()
    fig.savefig(path, dpi=110)
    plt.close(fig)
    return True


def main():
    if len(sys.argv) != 2:
        print("usage: plot.py OUT_DIR", file=sys.stderr)
        return 2
    out_dir = sys.argv[1]
    runs = load(out_dir)
    summary = {"targets": TARGETS, "tiers": {}}
    for tier, tier_runs in runs.items():
        videos = [run for run in tier_runs if run.get("bench") == "video"]
        scenarios = [run for run in tier_runs if run.get("bench") in ("scale", "idle")]
        video = videos[0] if videos else None
        summary["tiers"][tier] = {
            "video": without_samples(video) if video else None,
            "scenarios": scenarios,
            "targets_met": judge(tier, video, scenarios),
        }
    with open(os.path.join(out_dir, "summary.json"), "w") as f:
        json.dump(summary, f, indent=1)
    drawn = [name for name, draw in (("latency.png", plot_latency), ("cpu_per_camera.png", plot_cpu))
             if draw(runs, os.path.join(out_dir, name))]

    print(f"summary: {os.path.join(out_dir, 'summary.json')}; plots: {', '.join(drawn) or 'none'}")
    for tier, figures in summary["tiers"].items():
        video = figures["video"]
        for size in video["sizes"] if video else []:
            paced = size.get("paced_ratio")
            print(f"  {tier:6} {size['size']:9}  engine/bare: 1-by-1 {size['one_by_one_ratio']:.3f}"
                  f"  burst {size['burst_ratio']:.3f}" + (f"  paced {paced:.3f}  p99 gap {size['p99_gap_ms']:+.2f} ms"
                                                          if paced is not None else ""))
            for kind, excess in size.get("excess_ms", {}).items():
                print(f"  {tier:6} {size['size']:9}  engine - bare per picture, {kind}: median {excess['median']:+.3f}"
                      f"  p99 {excess['p99']:+.3f}  max {excess['max']:+.3f} ms ({excess['pictures']} pictures)")
        for run in figures["scenarios"]:
            print(f"  {tier:6} {run['scenario']:18} {run['cpu_percent_per_camera']:.2f} % of a core per camera"
                  + (f", {run['dropped']} dropped" if run.get("bench") == "scale" else ""))
        missed = [name for name, ok in figures["targets_met"].items() if not ok]
        print(f"  {tier:6} targets missed: {', '.join(missed) if missed else 'none'}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
