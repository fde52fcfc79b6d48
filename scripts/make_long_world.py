#!/usr/bin/env python3
"""Writes worlds/long_winding.toml: a long, smooth, random-looking closed track.

Each half of the track is straights and gentle arcs of random turns, shifted
so that together they turn by exactly half a turn; the second half repeats
the first, which closes the track. Run it again to get the same file: the
random numbers are seeded.
"""
import math
import random
from pathlib import Path

PAIRS = 100  # straight and arc pairs in each half: 400 segments in all
random_numbers = random.Random(2026)
turns = [random_numbers.uniform(-50.0, 50.0) for _ in range(PAIRS)]
shift = (180.0 - sum(turns)) / PAIRS
half = []
for turn in turns:
    half.append(f"  {{ straight = {random_numbers.uniform(0.15, 0.5):.4f} }},")
    half.append(f"  {{ arc = {random_numbers.uniform(0.35, 1.2):.4f}, angle = {turn + shift!r} }},")

text = f"""# A long, smooth, random-looking closed track of {4 * PAIRS} segments (made by
# scripts/make_long_world.py): gentle bends of 0.35 m radius or more in both
# directions. For long runs and for timing the simulation.
name = "long_winding"
[run]
duration = 600.0
[track]
segments = [
""" + "\n".join(half + half) + "\n]\n"
Path(__file__).resolve().parent.parent.joinpath("worlds", "long_winding.toml").write_text(text)
