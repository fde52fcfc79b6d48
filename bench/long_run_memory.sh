#!/usr/bin/env bash
# Peak memory of line-sim over runs of growing simulated time, and of the
# controller run alone on the same world. line-sim reads the trace and the
# camera frames as streams with bounded buffers, thins the replay (32768
# steps at the most) and the picture's path (20000 points), and writes both
# pages a chunk at a time. What still grows is the run's summary, which lists
# every lap's time (summary.json is 0.7 MB for a 1e6 s run): line-sim's peak
# was 7.3 MB for 600 s, 7.6 MB for 60,000 s and 9.9 MB for 1e6 s. The last
# line says by how much the longest run's peak lies above the shortest's.
#
#   bash bench/long_run_memory.sh [BUILD_DIR] [SECONDS ...]   (default: build/default 600 6000 60000)
#
# Needs GNU time (/usr/bin/time, Debian's package `time`). A run writes about
# 6.5 kB of files a simulated second (390 MB for 60,000 s) into a temporary
# folder, removed at the end.
set -euo pipefail
build=${1:-build/default}
(($# > 0)) && shift
durations=("$@")
((${#durations[@]} > 0)) || durations=(600 6000 60000)
if [[ ! -x /usr/bin/time ]]; then
  echo "long_run_memory.sh: /usr/bin/time (GNU time) is needed: apt-get install time" >&2
  exit 2
fi
out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT
# GNU time's peak of line-sim is the larger of its own and its controller's
# (the peak of a process and of the children it waited for), not their sum.
printf '%12s %26s %18s %10s %12s\n' "simulated" "line-sim or its controller" "controller alone" "snapshots" "svg size"
first="" last=""
for seconds in "${durations[@]}"; do
  /usr/bin/time -f '%M' -o "$out/line-sim.kb" "$build/bin/line-sim" --duration "$seconds" -j1 -q --out "$out/$seconds" >/dev/null
  mkdir -p "$out/controller"
  LINE_SIM_WORLD="$out/$seconds/oval/world.toml" LINE_SIM_OUTPUT="$out/controller" /usr/bin/time -f '%M' \
    -o "$out/controller.kb" "$build/bin/line_follower" >/dev/null 2>&1
  snapshots=$(find "$out/$seconds/oval" -name 'camera-*.png' | wc -l)
  svg=$(stat -c %s "$out/$seconds/oval/trajectory.svg")
  peak=$(cat "$out/line-sim.kb")
  printf '%10s s %23s kB %15s kB %10s %10s B\n' "$seconds" "$peak" "$(cat "$out/controller.kb")" "$snapshots" "$svg"
  first=${first:-$peak}
  last=$peak
  rm -rf "${out:?}/$seconds" "$out/controller"  # the next run's files take the disk instead
done
printf 'longest run against the shortest: %+d kB\n' "$((last - first))"
