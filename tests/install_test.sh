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
echo "1 passed, 0 failed"
