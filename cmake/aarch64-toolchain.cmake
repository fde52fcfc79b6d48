# Building for a Raspberry Pi's arm64 on this machine (CMake preset arm64):
# Debian's cross compiler and the arm64 packages of the libraries beside this
# machine's own (multiarch, scripts/install-arm64-packages.sh), the tests run
# under qemu-user.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(CMAKE_C_COMPILER aarch64-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)
set(CMAKE_LIBRARY_ARCHITECTURE aarch64-linux-gnu)
# The arm64 packages' pkg-config files, not this machine's; and those of the
# development package unpacked apart (it cannot be installed for both).
set(arm64_dev $ENV{ARM64_DEV})
if(NOT arm64_dev)
  set(arm64_dev /opt/line-follower-arm64)
endif()
set(ENV{PKG_CONFIG_LIBDIR}
  "${arm64_dev}/usr/lib/aarch64-linux-gnu/pkgconfig:/usr/lib/aarch64-linux-gnu/pkgconfig:/usr/share/pkgconfig")
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-aarch64 -L /usr/aarch64-linux-gnu)
