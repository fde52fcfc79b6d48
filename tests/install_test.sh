#!/usr/bin/env bash
# Installs the project under a fresh prefix and runs the installed line-sim
# from a folder of its own: it must find the controller, the simulated robot
# and the worlds without the build tree.
set -euo pipefail
build=$1
prefix=$(mktemp -d)
trap 'rm -rf "$prefix"' EXIT
cmake --install "$build" --prefix "$prefix" > /dev/null
for f in bin/line_follower bin/line-sim lib/libController.so include/robot_interface.h \
         share/line_follower/worlds/oval.toml; do
  [ -e "$prefix/$f" ] || { echo "not installed: $f"; exit 1; }
done
readelf -d "$prefix/bin/line_follower" | grep -q 'NEEDED.*\[libController.so\]'
readelf -d "$prefix/bin/line_follower" | grep -q 'RUNPATH.*\[\$ORIGIN/../lib\]'
mkdir "$prefix/elsewhere"
cd "$prefix/elsewhere"
env -u LD_LIBRARY_PATH "$prefix/bin/line-sim" square --duration 5 > table.txt
grep -q '^square ' table.txt
[ -s runs/square/summary.json ] && [ -s runs/square/trajectory.svg ]
"$prefix/bin/line-sim" --list | grep -q '^figure_eight'
# Experiments from the installed tree: the installed C controller, a sweep, a requirement, compare.
example=$prefix/share/line_follower/examples/edge_follower
env -u LD_LIBRARY_PATH "$prefix/bin/line-sim" oval --controller "$example" --sweep camera.noise=0,20 --duration 5 \
  --require 'steps>100' -o sweep -q > /dev/null
[ -s sweep/results.csv ] && [ -s sweep/sweep.svg ] && [ -s sweep/oval/camera.noise=20/replay.html ]
grep -q "\"controller\": \"$example\"" sweep/oval/camera.noise=0/line-sim.json
"$prefix/bin/line-sim" compare sweep sweep --require 'mean_abs_lateral_error_m<=+0%' > /dev/null
echo "1 passed, 0 failed"
