#!/usr/bin/env bash
# Installs the project under a fresh prefix and runs the installed line-sim
# from a folder of its own: it must find the controller, the simulated robot
# and the worlds without the build tree. Then moves the install and builds a
# controller against it as README.md says, with CMake and with pkg-config.
#   install_test.sh BUILD_DIR README.md
set -euo pipefail
build=$1 readme=$(realpath "$2")
source "$(dirname "$(realpath "$0")")/cluster/recipes.sh"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
prefix=$work/install
cmake --install "$build" --prefix "$prefix" > /dev/null
for f in bin/line_follower bin/line-sim lib/libController.so include/robot_interface.h \
         share/line_follower/worlds/oval.toml lib/cmake/LineFollower/LineFollowerConfig.cmake \
         lib/cmake/LineFollower/LineFollowerConfigVersion.cmake lib/pkgconfig/line_follower.pc; do
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
if readelf -d "$example" | grep -Eq 'R(UN)?PATH'; then fail "the installed example controller has a run path"; fi
env -u LD_LIBRARY_PATH "$prefix/bin/line-sim" oval --controller "$example" --sweep camera.noise=0,20 --duration 5 \
  --require 'steps>100' -o sweep -q > /dev/null
[ -s sweep/results.csv ] && [ -s sweep/sweep.svg ] && [ -s sweep/oval/camera.noise=20/replay.html ]
grep -q "\"controller\": \"$example\"" sweep/oval/camera.noise=0/line-sim.json
"$prefix/bin/line-sim" compare sweep sweep --require 'mean_abs_lateral_error_m<=+0%' > /dev/null
# The installed Python example, with the installed module (where the robot
# library is not built with the sanitizers, which Debian's python3 cannot load).
# A program not built with the sanitizers cannot load a robot library that
# is (their runtime must come first): under them, such controllers are
# built but not run.
sanitized=false
readelf -d "$prefix/lib/libController.so" | grep -q 'NEEDED.*libasan' && sanitized=true
if $sanitized; then
  echo "python example skipped: the robot library is built with the sanitizers"
else
  env -u PYTHONPATH "$prefix/bin/line-sim" oval --controller "$prefix/share/line_follower/examples/edge_follower.py" \
    --duration 2 -o python -q > /dev/null
  grep -q '"interpreter": "/usr/bin/python3"' python/oval/line-sim.json
fi

# A controller of one's own, built against the install once it is moved to
# another prefix (nothing may point at where it was installed): the example's
# source with README.md's CMakeLists.txt, and with its pkg-config line.
moved=$work/moved
cd "$work"
mv "$prefix" "$moved"
for way in cmake pkg-config; do
  mkdir "$way"
  cp "$moved/share/line_follower/examples/edge_follower.c" "$way/my_controller.c"
done
readme_recipe find_package > cmake/CMakeLists.txt
cmake -S cmake -B cmake/build -DCMAKE_PREFIX_PATH="$moved" > cmake/configure.txt 2>&1 ||
  fail "README.md's CMakeLists.txt did not configure against $moved: $(cat cmake/configure.txt)"
grep -qx "LineFollower_DIR:PATH=$moved/lib/cmake/LineFollower" cmake/build/CMakeCache.txt ||
  fail "find_package(LineFollower) found another install than $moved"
cmake --build cmake/build > cmake/build.txt 2>&1 || fail "README.md's CMakeLists.txt did not build: $(cat cmake/build.txt)"
recipe=$(readme_recipe pkg-config)
[[ $recipe == *DIR/lib/pkgconfig* ]] || fail "README.md's pkg-config recipe no longer has DIR/lib/pkgconfig"
(cd pkg-config && bash -euo pipefail -c "${recipe//DIR\/lib\/pkgconfig/$moved/lib/pkgconfig}") ||
  fail "README.md's pkg-config recipe did not build"
for controller in cmake/build/my_controller pkg-config/my_controller; do
  readelf -d "$controller" | grep -q 'NEEDED.*\[libController.so\]' || fail "$controller does not use libController.so"
  if $sanitized; then
    echo "$controller built, not run: the robot library is built with the sanitizers"
    continue
  fi
  out=$(dirname "$controller")/out
  env -u LD_LIBRARY_PATH "$moved/bin/line-sim" oval --duration 2 --controller "./$controller" -o "$out" -q > /dev/null ||
    fail "the moved install's line-sim did not run $controller"
  [ -s "$out/oval/summary.json" ] || fail "no $out/oval/summary.json"
  grep -q '"controller_exit_status": 0' "$out/oval/line-sim.json" || fail "$controller did not end well"
done
# The version file: the install's own version, as line-sim reports it, is accepted.
version=$("$moved/bin/line-sim" --version)
mkdir probe
printf '%s\n' 'cmake_minimum_required(VERSION 3.25)' 'project(probe NONE)' \
  'find_package(LineFollower ${wanted} EXACT CONFIG REQUIRED)' > probe/CMakeLists.txt
cmake -S probe -B probe/build -DCMAKE_PREFIX_PATH="$moved" -Dwanted="${version#line-sim }" > probe/configure.txt 2>&1 ||
  fail "find_package(LineFollower ${version#line-sim } EXACT) refused the install: $(cat probe/configure.txt)"
echo "1 passed, 0 failed"
