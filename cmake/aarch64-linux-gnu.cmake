# Toolchain for AArch64 Linux on a Debian build machine:
#   cmake -S . -B build/aarch64 -DCMAKE_TOOLCHAIN_FILE=cmake/aarch64-linux-gnu.cmake ...
# Compilers from crossbuild-essential-arm64; the libraries we link are Debian's arm64 builds,
# installed beside the host's through multiarch (dpkg --add-architecture arm64, then
# libspdlog-dev:arm64 and the rest; scripts/setup does both). Programs built here run under
# qemu-user, which is how CTest and GoogleTest's test discovery start them.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(CMAKE_C_COMPILER aarch64-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)

# Multiarch keeps arm64 libraries and their CMake package files in /usr/lib/aarch64-linux-gnu,
# next to the host's in /usr/lib/x86_64-linux-gnu; searching by this architecture finds only
# the former. Headers in /usr/include are shared: multiarch requires them to be identical.
set(CMAKE_LIBRARY_ARCHITECTURE aarch64-linux-gnu)

# The arm64 root for the emulator is / itself by default: multiarch installs the arm64 loader and
# C library there (/lib/ld-linux-aarch64.so.1, /lib/aarch64-linux-gnu), and every library we link
# depends on those. The cross toolchain's own copy under /usr/aarch64-linux-gnu serves the linker
# only: it is not updated with the C library, and running with it would pair its loader with a
# newer multiarch libc.so.6. A build for an interpreter of another arm64 root (one whose programs
# FindPython runs, scripts/test-aarch64-python) names that root instead.
set(ORVEL_AARCH64_ROOT / CACHE PATH "The arm64 root the emulator runs programs built here in")
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-aarch64 -L ${ORVEL_AARCH64_ROOT})
