# kolvex_public_headers(TARGET HEADER...): the target's headers, given relative to src/, are
# included as "folder/name.h" by the target itself and by whatever links it, and by nothing
# else, so an include of a module that is not linked fails to build. On hosts with symbolic
# links each target gets an include root of its own that holds just its headers; elsewhere
# (Visual Studio on Windows) src/ is the root for all, and the check is left to the other
# builds.
function(kolvex_public_headers target)
  get_target_property(type ${target} TYPE)
  set(scope PUBLIC)
  if(type STREQUAL "INTERFACE_LIBRARY")
    set(scope INTERFACE)
  endif()
  if(NOT CMAKE_HOST_UNIX)
    target_include_directories(${target} ${scope} ${PROJECT_SOURCE_DIR}/src)
    return()
  endif()
  set(root ${PROJECT_BINARY_DIR}/include/${target})
  file(REMOVE_RECURSE ${root})
  foreach(header ${ARGN})
    get_filename_component(folder ${root}/${header} DIRECTORY)
    file(MAKE_DIRECTORY ${folder})
    file(CREATE_LINK ${PROJECT_SOURCE_DIR}/src/${header} ${root}/${header} SYMBOLIC)
  endforeach()
  target_include_directories(${target} ${scope} ${root})
endfunction()

# The headers of the folder this list file is in, relative to src/.
macro(kolvex_folder_headers out)
  file(GLOB ${out} RELATIVE ${PROJECT_SOURCE_DIR}/src CONFIGURE_DEPENDS
       ${CMAKE_CURRENT_SOURCE_DIR}/*.h)
endmacro()
