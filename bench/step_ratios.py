#!/usr/bin/env python3
"""The step's ratios, each from one run of the benchmark binary (medians of
CPU time over the repetitions): 720-point peanut / arc peanut, default world /
floor (64 x 48), and 40,000 / 4 track segments. Given several binaries (an
older build first, say), they take turns for each round. With --fastest, the
fastest of ten repetitions instead of the median of five: on a busy machine
the median of the same code moves by a third, the fastest by a few percent.

    python3 bench/step_ratios.py [--rounds N] [--fastest] BENCH_BINARY ...
"""
import argparse
import json
import subprocess

FILTER = "BM_Floor/64/48|BM_StepByImageSize/64/48|BM_StepPeanut|BM_StepByTrackSegments/(4|40000)$|BM_StepPictureFloor"
RATIOS = [
    ("720-point peanut / arc peanut", "BM_StepPeanutPoints", "BM_StepPeanutArcs"),
    ("default world step / floor, 64 x 48", "BM_StepByImageSize/64/48", "BM_Floor/64/48"),
    ("step, 40,000 / 4 segments", "BM_StepByTrackSegments/40000", "BM_StepByTrackSegments/4"),
    ("oval step, picture floor / drawn floor", "BM_StepPictureFloor", "BM_StepByImageSize/64/48"),
]


def times_of(binary, fastest):
    if not fastest:
        out = subprocess.run([binary, f"--benchmark_filter={FILTER}", "--benchmark_repetitions=5",
                              "--benchmark_report_aggregates_only=true", "--benchmark_format=json"],
                             check=True, capture_output=True, text=True).stdout
        return {b["run_name"]: b["cpu_time"] for b in json.loads(out)["benchmarks"] if b["aggregate_name"] == "median"}
    out = subprocess.run([binary, f"--benchmark_filter={FILTER}", "--benchmark_repetitions=10", "--benchmark_format=json"],
                         check=True, capture_output=True, text=True).stdout
    times = {}
    for b in json.loads(out)["benchmarks"]:
        if b.get("run_type") == "iteration":
            times[b["run_name"]] = min(times.get(b["run_name"], float("inf")), b["cpu_time"])
    return times


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--fastest", action="store_true")
    parser.add_argument("binaries", nargs="+")
    args = parser.parse_args()
    for round_ in range(1, args.rounds + 1):
        for binary in args.binaries:
            times = times_of(binary, args.fastest)
            found = ", ".join(f"{name} {times[a] / times[b]:.2f} ({times[a]:.0f} / {times[b]:.0f} ns)"
                              for name, a, b in RATIOS if a in times and b in times)
            print(f"round {round_} {binary}: {found}", flush=True)


if __name__ == "__main__":
    main()
