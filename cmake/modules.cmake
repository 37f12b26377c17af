# Every folder of src/ is a module: a library whose headers are included as "folder/name.h".
#
# kolvex_module(TARGET PUBLIC header... [HEADERS header...]): of the module's headers (HEADERS,
# by default every header of the calling folder; all relative to src/), those named PUBLIC are
# its face, which it and whatever links it include. The rest are private to it, and to tests,
# which reach them by linking TARGET_internal. Including another module's private header, or a
# header of a module that is not linked, stops the build with an #error that names the rule.
#
# On hosts with symbolic links each module gets two include roots that hold links to its
# headers, its face and its private headers, and the compiler looks last in a root where every
# header of every module says why it cannot be included from here. Elsewhere (Visual Studio on
# Windows) src/ is the root for all, and the check is left to the other builds.

set(KOLVEX_INCLUDE_ROOT ${PROJECT_BINARY_DIR}/include)
set(KOLVEX_REFUSED_ROOT ${KOLVEX_INCLUDE_ROOT}/_refused)
file(REMOVE_RECURSE ${KOLVEX_REFUSED_ROOT})
if(CMAKE_HOST_UNIX AND NOT MSVC)
  add_compile_options(-idirafter ${KOLVEX_REFUSED_ROOT})
endif()

# ROOT/HEADER made a link to the header in src/, or a header holding only #error MESSAGE.
function(kolvex_place_header root header message)
  get_filename_component(folder ${root}/${header} DIRECTORY)
  file(MAKE_DIRECTORY ${folder})
  if(message STREQUAL "")
    file(CREATE_LINK ${PROJECT_SOURCE_DIR}/src/${header} ${root}/${header} SYMBOLIC)
  else()
    file(WRITE ${root}/${header} "#error \"${message}\"\n")
  endif()
endfunction()

function(kolvex_module target)
  cmake_parse_arguments(M "" "" "PUBLIC;HEADERS" ${ARGN})
  if(NOT M_HEADERS)
    file(GLOB M_HEADERS RELATIVE ${PROJECT_SOURCE_DIR}/src CONFIGURE_DEPENDS
         ${CMAKE_CURRENT_SOURCE_DIR}/*.h)
  endif()
  get_target_property(type ${target} TYPE)
  set(scope PUBLIC)
  if(type STREQUAL "INTERFACE_LIBRARY")
    set(scope INTERFACE)
  endif()
  add_library(${target}_internal INTERFACE)
  target_link_libraries(${target}_internal INTERFACE ${target})
  if(NOT CMAKE_HOST_UNIX)
    target_include_directories(${target} ${scope} ${PROJECT_SOURCE_DIR}/src)
    return()
  endif()

  set(face ${KOLVEX_INCLUDE_ROOT}/${target})
  set(private ${KOLVEX_INCLUDE_ROOT}/${target}_private)
  file(REMOVE_RECURSE ${face} ${private})
  list(JOIN M_PUBLIC ", " face_text)
  foreach(header ${M_HEADERS})
    if(header IN_LIST M_PUBLIC)
      kolvex_place_header(${face} ${header} "")
      kolvex_place_header(${KOLVEX_REFUSED_ROOT} ${header}
        "${header} belongs to ${target}, which this target does not link: a module includes only modules below it, and links them")
    else()
      kolvex_place_header(${private} ${header} "")
      kolvex_place_header(${KOLVEX_REFUSED_ROOT} ${header}
        "${header} is private to ${target}: include its face (${face_text}); a test links ${target}_internal")
    endif()
  endforeach()
  if(NOT scope STREQUAL "INTERFACE")
    target_include_directories(${target} PRIVATE ${private})
  endif()
  target_include_directories(${target} ${scope} ${face})
  target_include_directories(${target}_internal INTERFACE ${private})
endfunction()
