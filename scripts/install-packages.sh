#!/usr/bin/env bash
# Installs the Debian 12 packages that building and testing need, if any is
# missing (as root, or through sudo).
set -euo pipefail

# clang and libclang-rt-14-dev (libFuzzer and the sanitizers' runtimes) build the fuzz targets;
# slurm-wlm, munge and parallel run README.md's recipes for many machines (tests/cluster/), whose
# tests start and stop the daemons themselves: none is started here; time (GNU time) gives
# bench/long_run_memory.sh its peaks; clang-format-14 checks the sources' layout (tests/format_test.sh);
# the GStreamer packages build the real robot's camera (platforms/robot/) and run its tests, whose
# reference images and video files gst-launch-1.0 (gstreamer1.0-tools) makes; gcc-avr and avr-libc build
# the motor board's firmware (firmware/), which simavr's library (libsimavr-dev, libsimavrparts1) runs
# in its tests (tests/firmware/); librsvg2-dev draws SVG pictures of floors (world/picture_file.cpp).
packages=(cmake g++ make libgtest-dev libgmock-dev libbenchmark-dev libtomlplusplus-dev libcli11-dev
          nlohmann-json3-dev libpng-dev librsvg2-dev zlib1g-dev libisal-dev libfmt-dev pkg-config python3 python3-numpy python3-pil python3-selenium chromium chromium-driver
          clang libclang-rt-14-dev clang-format-14 slurm-wlm munge parallel time
          libgstreamer1.0-dev libgstreamer-plugins-base1.0-dev gstreamer1.0-plugins-base gstreamer1.0-plugins-good
          gstreamer1.0-tools gcc-avr avr-libc simavr libsimavr-dev libsimavrparts1)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
((${#missing[@]})) || exit 0
sudo=()
[ "$(id -u)" = 0 ] || sudo=(sudo)
"${sudo[@]}" apt-get update
DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y --no-install-recommends "${missing[@]}"
