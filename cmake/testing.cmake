# GoogleTest: Debian's prebuilt libraries for native builds, built from Debian's sources
# (/usr/src/googletest) for the cross builds and those against an older glibc.
if(CMAKE_CROSSCOMPILING OR KOLVEX_GLIBC_FLOOR)
  set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
  set(gtest_force_shared_crt OFF CACHE BOOL "" FORCE)
  add_subdirectory(/usr/src/googletest ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)
  # Warnings in GoogleTest's own sources are not ours to fix.
  foreach(t gtest gtest_main gmock gmock_main)
    target_compile_options(${t} PRIVATE -w)
  endforeach()
else()
  find_package(GTest REQUIRED)
endif()

# Every test has a deadline, so that a hang fails the run instead of stalling it.
set(KOLVEX_TEST_TIMEOUT 300)

# kolvex_add_test(NAME SOURCES a.cc b.cc LIBS lib...)
# One test program per module; ctest runs it (under Wine for the cross build).
function(kolvex_add_test name)
  cmake_parse_arguments(T "" "" "SOURCES;LIBS" ${ARGN})
  add_executable(${name} ${T_SOURCES})
  target_link_libraries(${name} PRIVATE ${T_LIBS} GTest::gtest_main GTest::gmock)
  add_test(NAME ${name} COMMAND ${name})
  set_tests_properties(${name} PROPERTIES TIMEOUT ${KOLVEX_TEST_TIMEOUT})
endfunction()
