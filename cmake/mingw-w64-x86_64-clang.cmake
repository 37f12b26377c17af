# The Windows x64 cross build with Debian's clang instead of MinGW-w64's GCC: the same MinGW-w64
# headers and libraries, GCC's MinGW libstdc++ (posix threads), static runtime. clang does not
# find that libstdc++ by itself, so it is named here.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(CMAKE_C_COMPILER clang)
set(CMAKE_CXX_COMPILER clang++)
set(CMAKE_C_COMPILER_TARGET x86_64-w64-mingw32)
set(CMAKE_CXX_COMPILER_TARGET x86_64-w64-mingw32)
set(CMAKE_RC_COMPILER x86_64-w64-mingw32-windres)
set(CMAKE_FIND_ROOT_PATH /usr/x86_64-w64-mingw32)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)

file(GLOB gcc_dirs /usr/lib/gcc/x86_64-w64-mingw32/*-posix)
if(NOT gcc_dirs)
  message(FATAL_ERROR "MinGW-w64 GCC with posix threads not found (g++-mingw-w64-x86-64-posix)")
endif()
list(SORT gcc_dirs COMPARE NATURAL)
list(GET gcc_dirs -1 gcc_dir)
set(CMAKE_CXX_STANDARD_INCLUDE_DIRECTORIES
  ${gcc_dir}/include/c++ ${gcc_dir}/include/c++/x86_64-w64-mingw32)
# Linked by lld, as clang's own MinGW toolchain does: GNU ld warns about every type_info that
# clang and GCC lay out differently. lld also takes archives in any order, so winpthreads, which
# libstdc++'s threads need and clang does not link by itself, can be named up front.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-fuse-ld=lld -static -L${gcc_dir} -lpthread")
# ctest runs the Windows test programs under Wine.
set(CMAKE_CROSSCOMPILING_EMULATOR wine)
