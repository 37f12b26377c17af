# The release programs for Linux: built by this machine's GCC 12 against Debian 11 (bullseye),
# glibc 2.31 and libpulse 14, with libstdc++ and libgcc linked in statically, so that they run on
# any Linux with glibc 2.31 or later and libpulse.so.0. The bullseye tree of each architecture
# is made by scripts/test (debootstrap, see scripts/lib.sh) in build/sysroots. Included by the
# toolchain file of each architecture, which sets KOLVEX_TRIPLET and KOLVEX_DEBIAN_ARCH.
get_filename_component(KOLVEX_SYSROOT
  ${CMAKE_CURRENT_LIST_DIR}/../build/sysroots/bullseye-${KOLVEX_DEBIAN_ARCH} ABSOLUTE)
if(NOT EXISTS ${KOLVEX_SYSROOT}/usr/include/pulse/pulseaudio.h)
  message(FATAL_ERROR "No bullseye tree at ${KOLVEX_SYSROOT}: scripts/test makes it "
                      "(bullseye_tree in scripts/lib.sh).")
endif()

# The headers and archives named below are this GCC's, so it is named by its version.
set(gcc_version 12)
set(CMAKE_SYSROOT ${KOLVEX_SYSROOT})
set(CMAKE_C_COMPILER ${KOLVEX_TRIPLET}-gcc-${gcc_version})
set(CMAKE_CXX_COMPILER ${KOLVEX_TRIPLET}-g++-${gcc_version})
set(CMAKE_FIND_ROOT_PATH ${KOLVEX_SYSROOT})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
set(ENV{PKG_CONFIG_LIBDIR}
  ${KOLVEX_SYSROOT}/usr/lib/${KOLVEX_TRIPLET}/pkgconfig:${KOLVEX_SYSROOT}/usr/share/pkgconfig)
set(ENV{PKG_CONFIG_SYSROOT_DIR} ${KOLVEX_SYSROOT})

# GCC searches its own directories before the sysroot's, and a cross GCC's own hold the glibc
# of its Debian release. Only the C++ headers and the runtime archives are taken from GCC; glibc's
# headers, start files and libraries all come from the tree.
if(EXISTS /usr/lib/gcc-cross/${KOLVEX_TRIPLET}/${gcc_version})
  set(gcc_dir /usr/lib/gcc-cross/${KOLVEX_TRIPLET}/${gcc_version})
  set(cxx_headers /usr/${KOLVEX_TRIPLET}/include/c++/${gcc_version})
  set(cxx_target_headers ${cxx_headers}/${KOLVEX_TRIPLET})
else()
  set(gcc_dir /usr/lib/gcc/${KOLVEX_TRIPLET}/${gcc_version})
  set(cxx_headers /usr/include/c++/${gcc_version})
  set(cxx_target_headers /usr/include/${KOLVEX_TRIPLET}/c++/${gcc_version})
endif()
set(c_headers ${gcc_dir}/include ${KOLVEX_SYSROOT}/usr/include/${KOLVEX_TRIPLET}
  ${KOLVEX_SYSROOT}/usr/include)
set(CMAKE_C_FLAGS_INIT "-pthread -nostdinc")
set(CMAKE_CXX_FLAGS_INIT "-pthread -nostdinc")
set(CMAKE_C_STANDARD_INCLUDE_DIRECTORIES ${c_headers})
set(CMAKE_CXX_STANDARD_INCLUDE_DIRECTORIES
  ${cxx_headers} ${cxx_target_headers} ${cxx_headers}/backward ${c_headers})
set(libs ${KOLVEX_SYSROOT}/usr/lib/${KOLVEX_TRIPLET})
set(CMAKE_EXE_LINKER_FLAGS_INIT
  "-pthread -B${libs}/ -L${libs} -L${KOLVEX_SYSROOT}/lib/${KOLVEX_TRIPLET} -static-libstdc++ -static-libgcc")

# What glibc 2.31 lacks of what those archives name (src/platform/glibc_floor.cc). Programs get
# it from CMakeLists.txt; try_compile's do not, so a check that links one using exceptions or
# threads fails here.
set(KOLVEX_GLIBC_FLOOR ON)
