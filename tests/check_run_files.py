#!/usr/bin/env python3
"""Runs line-sim and reads its files with Python's parsers and Pillow: the
picture must be well-formed XML (SVG) that scales to its window, every camera
snapshot an RGB PNG of the camera's size, the summary JSON with every key of
the right type, the trace a row of numbers a step, and the pages there.

Usage: check_run_files.py LINE_SIM FOLDER
"""
import json
import math
import shutil
import struct
import subprocess
import sys
import xml.etree.ElementTree as ElementTree
from pathlib import Path

from PIL import Image

SVG = "{http://www.w3.org/2000/svg}"
KEYS = {
    "world": str, "seed": int, "sim_time_s": float, "wall_time_s": float, "real_time_factor": float,
    "steps": int, "laps_completed": int, "lap_times_s": list, "mean_abs_lateral_error_m": float,
    "rms_lateral_error_m": float, "max_abs_lateral_error_m": float, "time_off_line_s": float, "off_line_share": float,
    "distance_along_line_m": float,
    "end_reason": str, "camera_width": int, "camera_height": int,
}
# The trace's columns, in order; the first eight as they have always been.
TRACE = ["t", "x", "y", "heading", "left", "right", "lateral_error", "progress", "left_command", "right_command"]
FACTS = {"controller": str, "controller_sha256": str, "interpreter": str, "controller_exit_status": int, "files_whole": bool,
         "error": str, "params": dict, "arguments": list}


def check(folder):
    summary = json.loads((folder / "summary.json").read_text())
    for key, kind in KEYS.items():
        assert key in summary, f"{folder}: summary lacks {key}"
        assert isinstance(summary[key], kind) and not isinstance(summary[key], bool), f"{folder}: {key} is {summary[key]!r}"
    facts = json.loads((folder / "line-sim.json").read_text())
    assert set(facts) == set(FACTS), f"{folder}: line-sim.json holds {sorted(facts)}"
    for key, kind in FACTS.items():
        assert isinstance(facts[key], kind), f"{folder}: {key} is {facts[key]!r}"
    lines = (folder / "trace.csv").read_text().splitlines()
    assert lines[0].split(",") == TRACE, f"{folder}: trace.csv's header is {lines[0]}"
    rows = [[float(v) for v in line.split(",")] for line in lines[1:]]
    assert len(rows) == summary["steps"] and all(len(row) == len(TRACE) for row in rows), f"{folder}: trace.csv"
    assert all(math.isfinite(v) for row in rows for v in row), f"{folder}: trace.csv holds a number not finite"
    assert all(isinstance(lap, float) for lap in summary["lap_times_s"])
    assert len(summary["lap_times_s"]) == summary["laps_completed"]

    root = ElementTree.parse(folder / "trajectory.svg").getroot()
    assert root.tag == SVG + "svg", root.tag
    assert len(root.get("viewBox", "").split()) == 4 and root.get("width") == "100%", root.attrib
    assert root.findall(f".//{SVG}path") and root.findall(f".//{SVG}polyline"), f"{folder}: no track or path drawn"

    snapshots = sorted(folder.glob("camera-*.png"))
    assert snapshots, f"{folder}: no camera snapshots"
    dark_rows = 0
    for png in snapshots:
        with Image.open(png) as image:
            image.load()  # decodes it all: a damaged file fails here
            assert image.format == "PNG" and image.mode == "RGB", f"{png}: {image.format} {image.mode}"
            assert image.size == (summary["camera_width"], summary["camera_height"]), f"{png}: {image.size}"
            data, stride = image.tobytes(), 3 * image.size[0]
            dark_rows += sum(1 for row in range(0, len(data), stride) if min(data[row:row + stride]) < 20)
    assert dark_rows > 0, f"{folder}: no snapshot shows the line"
    assert (folder / "replay.html").stat().st_size > 0, f"{folder}: no replay"
    return len(snapshots)


def main():
    line_sim, folder = sys.argv[1], Path(sys.argv[2])
    shutil.rmtree(folder, ignore_errors=True)  # the test's own folder, from an earlier run
    result = subprocess.run([line_sim, "oval", "square", "--duration", "25", "--out", str(folder)],
                            capture_output=True, text=True)
    assert result.returncode == 0, result.stderr
    count = sum(check(folder / world) for world in ("oval", "square"))
    assert (folder / "index.html").stat().st_size > 0, f"{folder}: no index"
    print(f"1 passed, 0 failed: {count} snapshots, two pictures and two summaries read")


if __name__ == "__main__":
    main()
