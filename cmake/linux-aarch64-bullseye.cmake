# The Linux ARM64 program and its tests (cmake/linux-bullseye.cmake), cross-built with Debian's
# aarch64 GCC; ctest runs the tests under qemu-user, with the tree's loader and libraries.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(KOLVEX_TRIPLET aarch64-linux-gnu)
set(KOLVEX_DEBIAN_ARCH arm64)
include(${CMAKE_CURRENT_LIST_DIR}/linux-bullseye.cmake)
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-aarch64 -L ${KOLVEX_SYSROOT})
