# CPack runs this after it has installed (and stripped) the program in its staging folder,
# before it zips it: a signature made on the program in the build folder would not survive the
# strip. Signs only where a certificate is given (scripts/sign says how).
if(DEFINED ENV{KOLVEX_SIGN_PFX})
  file(GLOB_RECURSE programs ${CPACK_TEMPORARY_DIRECTORY}/*.exe)
  execute_process(COMMAND ${CPACK_KOLVEX_SIGN} ${programs} COMMAND_ERROR_IS_FATAL ANY)
  message(STATUS "Signed ${programs}")
else()
  message(STATUS "Not signed: KOLVEX_SIGN_PFX names no certificate")
endif()
