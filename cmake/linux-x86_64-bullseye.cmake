# The Linux x64 release program (cmake/linux-bullseye.cmake).
set(KOLVEX_TRIPLET x86_64-linux-gnu)
set(KOLVEX_DEBIAN_ARCH amd64)
include(${CMAKE_CURRENT_LIST_DIR}/linux-bullseye.cmake)
