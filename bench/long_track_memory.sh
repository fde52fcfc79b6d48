#!/usr/bin/env bash
# Peak memory of the controller on a 40,000-segment track (about 10 km),
# the whole process: the world file read, the track laid and its grid, a
# short run. Memory follows the track's length, never its area.
#
#   bash bench/long_track_memory.sh [BUILD_DIR] [SEGMENTS]   (default: build/bench, 40000)
set -euo pipefail
build=$(cd "${1:-build/bench}" && pwd)
segments=${2:-40000}
out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT
# A closed, smooth, random-looking track as sim::winding_world builds one:
# straights of 0.1 to 0.4 m and arcs of 0.4 to 1.5 m radius, each half
# turning by half a turn, the second half repeating the first.
python3 - "$segments" >"$out/long.toml" <<'PY'
import math, random, sys
segments = int(sys.argv[1])
arcs = segments // 4
rng = random.Random(7)
half, swing = [], 0.0
for i in range(arcs):
    half.append(f"  {{ straight = {rng.uniform(0.1, 0.4)!r} }},")
    swing = rng.uniform(0.0, 0.6) if i % 2 == 0 else -swing
    angle = math.pi / arcs + (0.0 if i + 1 == arcs and arcs % 2 == 1 else swing)
    radius = rng.uniform(0.4, 1.5)
    half.append(f"  {{ arc = {radius!r}, angle = {math.degrees(angle)!r} }},")
print(f'name = "winding-{segments}"\n[run]\nduration = 2.0\n[track]\nsegments = [\n' + "\n".join(half + half) + "\n]")
PY
# The build's own robot library, whatever line_follower's run path says.
LINE_SIM_WORLD="$out/long.toml" LD_LIBRARY_PATH="$build/lib" /usr/bin/time -f '%M' -o "$out/peak.kb" "$build/bin/line_follower" >/dev/null 2>"$out/report.txt" ||
  { cat "$out/report.txt"; exit 1; }
printf '%s segments, %s kB peak resident (world file %s kB)\n' "$segments" "$(cat "$out/peak.kb")" \
  "$(( $(stat -c %s "$out/long.toml") / 1024 ))"
