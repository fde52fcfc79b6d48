#!/usr/bin/env python3
"""Runs line-sim show as a person would: on every world of the collection
(and the built-in oval), the picture must be well-formed XML (SVG) with the
camera's first image inside it, that image the run's own first snapshot
turned a half turn, and the printed figures the world file's own, worked out
here from its TOML; a closed track that misses its start is refused with the
line a run prints, and drawn with its fault marked; a file that is not TOML
leaves no picture.

Usage: show_test.py LINE_SIM WORLDS_FOLDER FOLDER
"""
import base64
import io
import math
import shutil
import subprocess
import sys
import tomllib
import xml.etree.ElementTree as ElementTree
from pathlib import Path

from PIL import Image

SVG = "{http://www.w3.org/2000/svg}"
PNG_URI = "data:image/png;base64,"
OVAL = {"track": {"segments": [{"straight": 0.6}, {"arc": 0.25, "angle": 180.0}] * 2}}


def show(line_sim, folder, *arguments):
    return subprocess.run([line_sim, "show", *arguments], cwd=folder, capture_output=True, text=True, timeout=60)


def expected_figures(world):
    """Length, tightest radius (None: no arcs), sharpest corner [deg] (0: none), closed, from the TOML alone."""
    track = world["track"]
    closed = track.get("closed", True)
    if "points" in track:
        p = track["points"]
        length = sum(math.dist(a, b) for a, b in zip(p, p[1:]))
        directions = [math.atan2(b[1] - a[1], b[0] - a[0]) for a, b in zip(p, p[1:])]
        turns = list(zip(directions, directions[1:])) + ([(directions[-1], directions[0])] if closed else [])
        corners = [abs(math.remainder(b - a, 2 * math.pi)) for a, b in turns]
        return length, None, math.degrees(max(corners, default=0)), closed
    length, radii, corners = 0.0, [], [0.0]
    for segment in track["segments"]:
        if "straight" in segment:
            length += segment["straight"]
        elif "arc" in segment:
            length += segment["arc"] * math.radians(abs(segment["angle"]))
            radii.append(segment["arc"])
        else:
            corners.append(abs(segment["turn"]))
    return length, min(radii, default=None), max(corners), closed


def embedded_image(picture):
    root = ElementTree.parse(picture).getroot()
    assert root.tag == SVG + "svg" and len(root.get("viewBox", "").split()) == 4, root.attrib
    assert root.findall(f".//{SVG}path"), f"{picture}: no track drawn"
    # The camera's image last, after the floor's picture, if any.
    images = [e.get("href", "") for e in root.iter(SVG + "image")]
    assert 1 <= len(images) <= 2 and images[-1].startswith(PNG_URI), f"{picture}: no embedded PNG"
    png = base64.b64decode(images[-1][len(PNG_URI):], validate=True)
    assert png.startswith(b"\x89PNG\r\n\x1a\n"), f"{picture}: not a PNG"
    return Image.open(io.BytesIO(png)), root


def check_world(line_sim, folder, path):
    world = tomllib.loads(path.read_text()) if path else OVAL
    picture = folder / f"{path.stem if path else 'oval'}.svg"
    # A world of the collection by its name, another by its path.
    name = [] if not path else [path.stem if path.parent != folder else str(path)]
    result = show(line_sim, folder, *name, "-o", picture.name)
    assert result.returncode == 0 and not result.stderr, f"{path}: {result.returncode} {result.stderr}"
    lines = dict(line.split(": ", 1) for line in result.stdout.splitlines())
    if "segments" in world.get("track", {}) or "points" in world.get("track", {}):
        assert list(lines) == ["length", "tightest turn", "closes", "picture"], result.stdout
        check_figures(path, world, lines)
    else:
        assert list(lines) == ["centre line", "picture"], result.stdout
    assert lines["picture"] == picture.name
    return check_picture(path, world, picture)


def check_figures(path, world, lines):
    length, radius, corner, closed = expected_figures(world)
    assert lines["length"].endswith(" m") and abs(float(lines["length"][:-2]) - length) <= 0.0005 + 1e-9, (
        f"{path}: printed {lines['length']}, the segments add up to {length} m")
    turn = lines["tightest turn"]
    if radius is not None:
        assert turn.startswith("arc of radius ") and math.isclose(float(turn.split()[3]), radius, rel_tol=1e-3), turn
    if corner > 1e-6:
        assert "sharpest corner: " in turn and abs(float(turn.split("sharpest corner: ")[1].split()[0]) - corner) < 0.01, turn
    else:
        assert "corner" not in turn, turn
    assert lines["closes"] == ("yes" if closed else "no (open track)"), lines["closes"]


def check_picture(path, world, picture):
    image, root = embedded_image(picture)
    # A picture floor is drawn under the track, the file's own bytes.
    floor = [e.get("href", "") for e in root.iter(SVG + "image")][:-1]
    if "image" in world.get("floor", {}):
        kind = "png" if world["floor"]["image"].endswith(".png") else "svg+xml"
        uri = f"data:image/{kind};base64,"
        assert len(floor) == 1 and floor[0].startswith(uri), f"{path}: the floor's picture is not drawn"
        assert base64.b64decode(floor[0][len(uri):]) == (path.parent / world["floor"]["image"]).read_bytes()
    else:
        assert not floor, f"{path}: a picture drawn for a world without one"
    camera = world.get("camera", {})
    assert image.mode == "RGB" and image.size == (camera.get("width", 64), camera.get("height", 48)), image
    return image


def main():
    line_sim, worlds, folder = sys.argv[1], Path(sys.argv[2]), Path(sys.argv[3])
    shutil.rmtree(folder, ignore_errors=True)
    folder.mkdir(parents=True)

    check_world(line_sim, folder, None)
    for path in sorted(worlds.glob("*.toml")):
        check_world(line_sim, folder, path)

    # A bend to the left at the start: the embedded image is the run's first
    # frame turned a half turn, and shows the line on its left, as a person
    # behind the robot sees it.
    bend = folder / "bend.toml"
    bend.write_text('name = "bend"\n[track]\nclosed = false\nsegments = [{ arc = 0.06, angle = 90 }, { straight = 0.3 }]\n')
    image = check_world(line_sim, folder, bend)
    run = subprocess.run([line_sim, str(bend), "--duration", "0.1", "-o", str(folder / "runs"), "-q"],
                         capture_output=True, timeout=120)
    assert run.returncode == 0, run.stderr
    with Image.open(sorted((folder / "runs" / "bend").glob("camera-0*.png"))[0]) as first:
        assert first.rotate(180).tobytes() == image.tobytes(), "the camera image is not the run's first frame turned"
    gray = image.convert("L")
    dark = [x for x in range(gray.width) for y in range(gray.height) if gray.getpixel((x, y)) < 20]
    assert dark and sum(dark) / len(dark) < gray.width / 2, "the line bending left is not seen on the left"

    # The default picture name, in the current folder.
    default = show(line_sim, folder, "lab")
    assert default.returncode == 0 and (folder / "lab-show.svg").is_file(), default
    assert default.stdout.splitlines()[-1] == "picture: lab-show.svg", default.stdout

    # A closed track that misses its start: refused as a run refuses it, and drawn with the fault.
    (folder / "misses.toml").write_text(
        'name = "misses"\n[track]\nsegments = [{ straight = 1.0 }, { arc = 0.25, angle = 180 }, { straight = 1.0 }]\n')
    refused = show(line_sim, folder, "misses.toml", "-o", "misses.svg")
    as_run = subprocess.run([line_sim, "misses.toml", "-o", "runs"], cwd=folder, capture_output=True, text=True)
    assert refused.returncode == as_run.returncode == 2, (refused, as_run)
    assert refused.stderr == as_run.stderr and len(refused.stderr.splitlines()) == 1, (refused.stderr, as_run.stderr)
    assert "ends 0.5 m away" in refused.stderr, refused.stderr
    assert refused.stdout == "picture: misses.svg\n", refused.stdout
    root = ElementTree.parse(folder / "misses.svg").getroot()
    faults = [g for g in root.iter(SVG + "g") if g.get("class") == "fault"]
    assert len(faults) == 1 and faults[0].find(SVG + "circle") is not None, "no fault mark"
    # The mark sits at the open end, 0.5 m above the start: the start's circle is the first one drawn.
    start = next(c for c in root.iter(SVG + "circle") if c.get("stroke") == "#0050c8")
    mark = faults[0].find(SVG + "circle")
    assert math.isclose(float(mark.get("cx")), float(start.get("cx")), abs_tol=0.01), (mark.attrib, start.attrib)
    assert float(mark.get("cy")) < float(start.get("cy")), (mark.attrib, start.attrib)
    captions = " ".join(t.text or "" for t in root.iter(SVG + "text"))
    assert "ends 0.5 m" in captions, captions

    # Not TOML: the error line and no picture.
    (folder / "nottoml.toml").write_text("track = [\n")
    broken = show(line_sim, folder, "nottoml.toml")
    assert broken.returncode == 2 and broken.stdout == "", broken
    assert broken.stderr.startswith("line-sim: world nottoml.toml: line ") and len(broken.stderr.splitlines()) == 1
    assert not list(folder.glob("nottoml*.svg")), "a picture of nothing"
    print("line-sim show: every world drawn and its figures right; a refused world drawn with its fault")


if __name__ == "__main__":
    main()
