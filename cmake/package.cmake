# package.cmake - `make package`: the Debian package and the zip for Windows (CPack).
#
# On Linux: quillo_VERSION_ARCH.deb with everything `cmake --install` puts under
# /usr (configure with -DCMAKE_INSTALL_PREFIX=/usr), its library dependencies found
# by dpkg-shlibdeps. From the Windows build: quillo-VERSION-win64.zip holding
# quillo.exe, README.md, LICENSE, CHANGELOG.md and the manual as quillo.txt.
set(CPACK_PACKAGE_NAME quillo)
set(CPACK_PACKAGE_VENDOR "The quillo authors")
set(CPACK_PACKAGE_CONTACT "The quillo authors <quillo@example.org>")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "extract, list, create and repack .pck package archives")
set(CPACK_PACKAGE_DESCRIPTION "quillo reads and writes .pck package archives: single files that hold many
data files, each stored zlib-compressed or plain, behind a compressed and
masked entry table. The console tool extracts, lists, creates and repacks
packages, and the static library libquillo does the same for C++ programs.")
set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)
set(CPACK_STRIP_FILES ON)

if(WIN32)
  set(CPACK_GENERATOR ZIP)
  set(CPACK_ARCHIVE_COMPONENT_INSTALL ON)
  set(CPACK_COMPONENTS_ALL runtime)
  set(CPACK_ARCHIVE_RUNTIME_FILE_NAME quillo-${PROJECT_VERSION}-win64)
else()
  set(CPACK_GENERATOR DEB)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_SECTION utils)
  set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  # The library's headers name zlib's; a program built with it links zlib.
  set(CPACK_DEBIAN_PACKAGE_SUGGESTS "zlib1g-dev")
  # A Debian package carries its Debian changelog, compressed without a time stamp,
  # as share/doc/quillo/changelog.gz; CHANGELOG.md beside it is the full history.
  string(TIMESTAMP QUILLO_CHANGELOG_DATE "%a, %d %b %Y %H:%M:%S +0000" UTC)
  file(WRITE ${CMAKE_CURRENT_BINARY_DIR}/debian/changelog
    "quillo (${PROJECT_VERSION}) unstable; urgency=medium\n\n"
    "  * Release ${PROJECT_VERSION}; CHANGELOG.md in this folder lists the changes.\n\n"
    " -- ${CPACK_PACKAGE_CONTACT}  ${QUILLO_CHANGELOG_DATE}\n")
  execute_process(COMMAND gzip -9nc ${CMAKE_CURRENT_BINARY_DIR}/debian/changelog
    OUTPUT_FILE ${CMAKE_CURRENT_BINARY_DIR}/debian/changelog.gz)
  install(FILES ${CMAKE_CURRENT_BINARY_DIR}/debian/changelog.gz
    DESTINATION ${CMAKE_INSTALL_DOCDIR} COMPONENT runtime)
endif()

include(CPack)
