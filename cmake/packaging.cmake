# cmake --install and CPack: the Windows program as a ZIP, the Linux port as a .deb. Both hold
# the program, the README and docs/ (the event reference and its schema), laid out alike so the
# README's links into docs/ work where it is installed.
include(GNUInstallDirs)
if(WIN32)
  set(KOLVEX_PROGRAM kolvex-mic-detector-win)
  set(program_dir .)
  set(doc_dir .)
  set(CPACK_GENERATOR ZIP)
  set(CPACK_SYSTEM_NAME win64)
  set(CPACK_PRE_BUILD_SCRIPTS ${PROJECT_SOURCE_DIR}/cmake/sign_package.cmake)
  set(CPACK_KOLVEX_SIGN ${PROJECT_SOURCE_DIR}/scripts/sign)
else()
  set(KOLVEX_PROGRAM kolvex-mic-detector)
  set(program_dir ${CMAKE_INSTALL_BINDIR})
  set(doc_dir ${CMAKE_INSTALL_DATAROOTDIR}/doc/${KOLVEX_PROGRAM})
  set(CPACK_GENERATOR DEB)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  # Depends from the libraries the program links (libpulse0, libstdc++6, libc6, libgcc-s1).
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  set(CPACK_DEBIAN_PACKAGE_SECTION sound)
endif()

install(TARGETS ${KOLVEX_PROGRAM} RUNTIME DESTINATION ${program_dir})
install(FILES README.md DESTINATION ${doc_dir})
install(DIRECTORY docs/ DESTINATION ${doc_dir}/docs)

set(CPACK_PACKAGE_NAME ${KOLVEX_PROGRAM})
set(CPACK_PACKAGE_VENDOR "Kolvex")
set(CPACK_PACKAGE_CONTACT "Kolvex mic detector developers")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "Watches which processes use a microphone and writes the changes as JSON lines")
set(CPACK_STRIP_FILES ON)
include(CPack)
