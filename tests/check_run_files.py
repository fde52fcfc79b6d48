#!/usr/bin/env python3
"""Runs line-sim and reads its files with Python's own parsers: the picture
must be well-formed XML (SVG), every camera snapshot a PNG that decodes to the
camera's size, and the summary JSON with every key of the right type.

Usage: check_run_files.py LINE_SIM FOLDER
"""
import json
import shutil
import struct
import subprocess
import sys
import xml.etree.ElementTree as ElementTree
import zlib
from pathlib import Path

SVG = "{http://www.w3.org/2000/svg}"
KEYS = {
    "world": str, "seed": int, "sim_time_s": float, "wall_time_s": float, "real_time_factor": float,
    "steps": int, "laps_completed": int, "lap_times_s": list, "mean_abs_lateral_error_m": float,
    "rms_lateral_error_m": float, "max_abs_lateral_error_m": float, "time_off_line_s": float, "distance_along_line_m": float,
    "end_reason": str, "controller_exit_status": int, "camera_width": int, "camera_height": int,
}


def decode_png(path):
    """Width, height and the unfiltered RGB rows of an 8-bit RGB PNG."""
    data = path.read_bytes()
    assert data[:8] == b"\x89PNG\r\n\x1a\n", f"{path}: not a PNG"
    position, idat, header = 8, b"", None
    while position < len(data):
        length, kind = struct.unpack(">I4s", data[position:position + 8])
        body = data[position + 8:position + 8 + length]
        crc = struct.unpack(">I", data[position + 8 + length:position + 12 + length])[0]
        assert zlib.crc32(kind + body) == crc, f"{path}: bad CRC in {kind}"
        if kind == b"IHDR":
            header = struct.unpack(">IIBBBBB", body)
        elif kind == b"IDAT":
            idat += body
        position += 12 + length
    width, height, depth, colour = header[:4]
    assert (depth, colour) == (8, 2), f"{path}: not 8-bit RGB"
    raw = zlib.decompress(idat)
    stride = 3 * width
    assert len(raw) == height * (stride + 1), f"{path}: {len(raw)} bytes of image data"
    rows, previous = [], bytearray(stride)
    for y in range(height):
        kind, line = raw[y * (stride + 1)], bytearray(raw[y * (stride + 1) + 1:(y + 1) * (stride + 1)])
        for i in range(stride):
            left = line[i - 3] if i >= 3 else 0
            up = previous[i]
            corner = previous[i - 3] if i >= 3 else 0
            if kind == 1:
                line[i] = (line[i] + left) & 255
            elif kind == 2:
                line[i] = (line[i] + up) & 255
            elif kind == 3:
                line[i] = (line[i] + (left + up) // 2) & 255
            elif kind == 4:
                p = left + up - corner
                best = min((abs(p - left), 0, left), (abs(p - up), 1, up), (abs(p - corner), 2, corner))[2]
                line[i] = (line[i] + best) & 255
            else:
                assert kind == 0, f"{path}: filter {kind}"
        rows.append(bytes(line))
        previous = line
    return width, height, rows


def check(folder):
    summary = json.loads((folder / "summary.json").read_text())
    for key, kind in KEYS.items():
        assert key in summary, f"{folder}: summary lacks {key}"
        assert isinstance(summary[key], kind) and not isinstance(summary[key], bool), f"{folder}: {key} is {summary[key]!r}"
    assert all(isinstance(lap, float) for lap in summary["lap_times_s"])
    assert len(summary["lap_times_s"]) == summary["laps_completed"]

    root = ElementTree.parse(folder / "trajectory.svg").getroot()
    assert root.tag == SVG + "svg", root.tag
    assert root.findall(f".//{SVG}path") and root.findall(f".//{SVG}polyline"), f"{folder}: no track or path drawn"

    snapshots = sorted(folder.glob("camera-*.png"))
    assert snapshots, f"{folder}: no camera snapshots"
    dark_rows = 0
    for png in snapshots:
        width, height, rows = decode_png(png)
        assert (width, height) == (summary["camera_width"], summary["camera_height"]), f"{png}: {width} x {height}"
        dark_rows += sum(1 for row in rows if min(row) < 20)
    assert dark_rows > 0, f"{folder}: no snapshot shows the line"
    return len(snapshots)


def main():
    line_sim, folder = sys.argv[1], Path(sys.argv[2])
    shutil.rmtree(folder, ignore_errors=True)  # the test's own folder, from an earlier run
    result = subprocess.run([line_sim, "oval", "square", "--duration", "25", "--out", str(folder)],
                            capture_output=True, text=True)
    assert result.returncode == 0, result.stderr
    count = sum(check(folder / world) for world in ("oval", "square"))
    print(f"1 passed, 0 failed: {count} snapshots, two pictures and two summaries read")


if __name__ == "__main__":
    main()
