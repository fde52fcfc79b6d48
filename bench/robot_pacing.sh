#!/usr/bin/env bash
# The real robot's pacing against a live test source, with no board
# (--dry-run): step period and its jitter (mean, 99th percentile, largest)
# and the camera frame's age at the step, from the run's trace.csv.
#   bench/robot_pacing.sh BUILD_DIR [SECONDS] [PIPELINE]
set -euo pipefail
build=${1:?the build folder, e.g. build/default}
seconds=${2:-30}
pipeline=${3:-videotestsrc is-live=true pattern=smpte ! video/x-raw,framerate=30/1}
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
cat > "$scratch/robot.toml" <<TOML
name = "pacing"
[camera]
pipeline = "$pipeline"
[run]
duration = $seconds
TOML
"$build/bin/line-robot" "$scratch/robot.toml" --dry-run -o "$scratch/run" > /dev/null 2>&1
/usr/bin/python3 - "$scratch/run/trace.csv" <<'PY'
import csv, statistics, sys
rows = list(csv.DictReader(open(sys.argv[1])))
returns = [float(r["t"]) + float(r["late"]) for r in rows]
periods = [(b - a) * 1000 for a, b in zip(returns, returns[1:])]
jitter = sorted(abs(p - 32.0) for p in periods)
ages = sorted(float(r["frame_age"]) * 1000 for r in rows)
p99 = lambda v: v[min(len(v) - 1, int(0.99 * len(v)))]
print(f"steps {len(rows)}, overruns {rows[-1]['overruns']}")
print(f"step period: mean {statistics.mean(periods):.4f} ms; jitter |period - 32 ms|: mean {statistics.mean(jitter):.4f} ms, "
      f"99th percentile {p99(jitter):.4f} ms, largest {jitter[-1]:.4f} ms")
print(f"frame age at the step: mean {statistics.mean(ages):.2f} ms, 99th percentile {p99(ages):.2f} ms, largest {ages[-1]:.2f} ms")
PY
