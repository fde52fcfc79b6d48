#!/usr/bin/env bash
# Peak memory of line-sim and of the controller over runs of growing length:
# both must stay flat as the simulated time grows (line-sim reads the trace
# row by row and bounds the pictures; the robot streams its files).
#
#   bash bench/long_run_memory.sh [BUILD_DIR]     (default: build/default)
set -euo pipefail
build=${1:-build/default}
out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT
printf '%12s %22s %18s %10s %12s\n' "simulated" "line-sim (+children)" "controller alone" "snapshots" "svg size"
for seconds in 600 6000 60000; do
  # GNU time's peak of line-sim is the larger of its own and its children's.
  /usr/bin/time -f '%M' -o "$out/line-sim.kb" "$build/bin/line-sim" oval --duration "$seconds" --out "$out/$seconds" >/dev/null
  LINE_SIM_WORLD="$out/$seconds/oval/world.toml" /usr/bin/time -f '%M' -o "$out/controller.kb" \
    "$build/bin/line_follower" >/dev/null 2>&1
  snapshots=$(find "$out/$seconds/oval" -name 'camera-*.png' | wc -l)
  svg=$(stat -c %s "$out/$seconds/oval/trajectory.svg")
  printf '%10s s %19s kB %15s kB %10s %10s B\n' "$seconds" "$(cat "$out/line-sim.kb")" "$(cat "$out/controller.kb")" \
    "$snapshots" "$svg"
done
