#!/usr/bin/env bash
# The arm64 (a Raspberry Pi's) packages that cross-building the controller and
# the real robot's library needs, beside this machine's own (Debian multiarch),
# and qemu-user to run their tests. Two development packages cannot be
# installed for two architectures at once in Debian 12 (installing the arm64
# one removes this machine's): libgstreamer-plugins-base1.0-dev is unpacked
# instead into ARM64_DEV (its .pc files and links pointed there and at the
# arm64 libraries), and libisal-dev is not needed (line-sim is not cross-built).
set -euo pipefail
dev=${ARM64_DEV:-/opt/line-follower-arm64}
packages=(g++-aarch64-linux-gnu qemu-user libgtest-dev:arm64 libgmock-dev:arm64 libtomlplusplus-dev:arm64
          libfmt-dev:arm64 libpng-dev:arm64 zlib1g-dev:arm64 libgstreamer1.0-dev:arm64
          libgstreamer-plugins-base1.0-0:arm64 gstreamer1.0-plugins-base:arm64 gstreamer1.0-plugins-good:arm64)
sudo=()
[ "$(id -u)" = 0 ] || sudo=(sudo)
missing=()
dpkg --print-foreign-architectures | grep -qx arm64 || "${sudo[@]}" dpkg --add-architecture arm64
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if ((${#missing[@]})); then
  "${sudo[@]}" apt-get update
  DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y --no-install-recommends "${missing[@]}"
fi
if [ ! -f "$dev/usr/lib/aarch64-linux-gnu/pkgconfig/gstreamer-app-1.0.pc" ]; then
  scratch=$(mktemp -d)
  (cd "$scratch" && apt-get download libgstreamer-plugins-base1.0-dev:arm64)
  "${sudo[@]}" mkdir -p "$dev"
  "${sudo[@]}" dpkg-deb -x "$scratch"/libgstreamer-plugins-base1.0-dev_*_arm64.deb "$dev"
  rm -rf "$scratch"
  lib=$dev/usr/lib/aarch64-linux-gnu
  "${sudo[@]}" sed -i "s|^prefix=/usr\$|prefix=$dev/usr|" "$lib"/pkgconfig/*.pc
  # Each lib*.so link names its library beside it: the arm64 one installed.
  for link in "$lib"/*.so; do
    "${sudo[@]}" ln -sf "/usr/lib/aarch64-linux-gnu/$(readlink "$link")" "$link"
  done
fi
