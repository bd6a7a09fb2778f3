# install.cmake - what `cmake --install` puts under the prefix.
#
#   bin/quillo                          the console tool
#   include/quillo/*.h                  the public headers of the package library
#   lib/libquillo.a                     the package library, host layer included
#   lib/cmake/quillo/                   find_package(quillo CONFIG) -> quillo::pck
#   lib/pkgconfig/quillo.pc             pkg-config --cflags --libs quillo
#   share/man/man1/quillo.1.gz          the manual page (its version from project())
#   share/bash-completion/completions/quillo   bash completion
#   share/doc/quillo/                   copyright (the licence), README.md, CHANGELOG.md
#
# On Windows the tool, the licence, the README, the changelog and the manual as an
# text page (quillo.txt) go to the top of the prefix instead (component "runtime"), as they are
# in the zip for Windows users; the library (component "dev") keeps its places.
#
# The directories are those of GNUInstallDirs, so a distribution's choices
# (lib/x86_64-linux-gnu, say) apply. Nothing of lib/host/ or tool/ is installed.
include(CMakePackageConfigHelpers)

set(QUILLO_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/quillo)

# The manual page carries the version of project(): its .TH line is filled in here.
file(READ doc/quillo.1 QUILLO_MANUAL)
string(REGEX REPLACE "\"quillo [0-9][^\"]*\"" "\"quillo ${PROJECT_VERSION}\"" QUILLO_MANUAL
  "${QUILLO_MANUAL}")
file(WRITE ${CMAKE_CURRENT_BINARY_DIR}/quillo.1 "${QUILLO_MANUAL}")
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS doc/quillo.1)

if(WIN32)
  install(TARGETS quillo RUNTIME DESTINATION . COMPONENT runtime)
  install(FILES README.md LICENSE CHANGELOG.md DESTINATION . COMPONENT runtime)
  # The manual as plain text that any editor shows, formatted by groff on the
  # building machine (no bold or underline by overstriking).
  find_program(QUILLO_GROFF groff)
  if(QUILLO_GROFF)
    add_custom_command(OUTPUT ${CMAKE_CURRENT_BINARY_DIR}/quillo.txt
      COMMAND ${QUILLO_GROFF} -man -Tascii -P -cbu ${CMAKE_CURRENT_BINARY_DIR}/quillo.1
        > ${CMAKE_CURRENT_BINARY_DIR}/quillo.txt
      DEPENDS ${CMAKE_CURRENT_BINARY_DIR}/quillo.1 VERBATIM)
    add_custom_target(quillo_manual_text ALL DEPENDS ${CMAKE_CURRENT_BINARY_DIR}/quillo.txt)
    install(FILES ${CMAKE_CURRENT_BINARY_DIR}/quillo.txt DESTINATION . COMPONENT runtime)
  endif()
else()
  install(TARGETS quillo RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT runtime)
  # Compressed, as man finds it and as packages must carry it (no time stamp inside).
  execute_process(COMMAND gzip -9nc ${CMAKE_CURRENT_BINARY_DIR}/quillo.1
    OUTPUT_FILE ${CMAKE_CURRENT_BINARY_DIR}/quillo.1.gz)
  install(FILES ${CMAKE_CURRENT_BINARY_DIR}/quillo.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1
    COMPONENT runtime)
  install(FILES packaging/bash-completion/quillo
    DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions COMPONENT runtime)
  install(FILES LICENSE DESTINATION ${CMAKE_INSTALL_DOCDIR} RENAME copyright COMPONENT runtime)
  install(FILES README.md CHANGELOG.md DESTINATION ${CMAKE_INSTALL_DOCDIR} COMPONENT runtime)
endif()
install(TARGETS quillo_lib EXPORT quilloTargets
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT dev
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT dev
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT dev)
install(FILES ${QUILLO_PUBLIC_HEADERS} DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/quillo
  COMPONENT dev)

# The CMake package. The config file looks up what the exported target links to:
# zlib always, and the thread library when the package library uses one.
install(EXPORT quilloTargets NAMESPACE quillo:: DESTINATION ${QUILLO_CMAKE_DIR}
  FILE quilloTargets.cmake COMPONENT dev)
get_target_property(QUILLO_LIB_LINKS quillo_lib LINK_LIBRARIES)
set(QUILLO_FIND_DEPENDENCIES "find_dependency(ZLIB)")
if("Threads::Threads" IN_LIST QUILLO_LIB_LINKS)
  string(APPEND QUILLO_FIND_DEPENDENCIES "\nfind_dependency(Threads)")
endif()
configure_package_config_file(cmake/quilloConfig.cmake.in
  ${CMAKE_CURRENT_BINARY_DIR}/quilloConfig.cmake
  INSTALL_DESTINATION ${QUILLO_CMAKE_DIR})
write_basic_package_version_file(${CMAKE_CURRENT_BINARY_DIR}/quilloConfigVersion.cmake
  VERSION ${PROJECT_VERSION} COMPATIBILITY SameMajorVersion)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/quilloConfig.cmake
  ${CMAKE_CURRENT_BINARY_DIR}/quilloConfigVersion.cmake DESTINATION ${QUILLO_CMAKE_DIR}
  COMPONENT dev)

# The pkg-config file names the prefix it is installed under, which
# `cmake --install --prefix P` settles only at install time. So it is filled in two
# steps: everything but the prefix now, the prefix when it is installed.
foreach(dir LIBDIR INCLUDEDIR)
  if(IS_ABSOLUTE "${CMAKE_INSTALL_${dir}}")
    set(QUILLO_PC_${dir} "${CMAKE_INSTALL_${dir}}")
  else()
    set(QUILLO_PC_${dir} "\${prefix}/${CMAKE_INSTALL_${dir}}")
  endif()
endforeach()
set(QUILLO_PC_EXTRA_LIBS "")
if("Threads::Threads" IN_LIST QUILLO_LIB_LINKS AND CMAKE_THREAD_LIBS_INIT)
  set(QUILLO_PC_EXTRA_LIBS " ${CMAKE_THREAD_LIBS_INIT}")
endif()
if(QUILLO_HAVE_LIBDEFLATE)
  string(APPEND QUILLO_PC_EXTRA_LIBS " -ldeflate")
endif()
set(QUILLO_PC_PREFIX "@CMAKE_INSTALL_PREFIX@")
configure_file(cmake/quillo.pc.in ${CMAKE_CURRENT_BINARY_DIR}/quillo.pc.in @ONLY)
install(CODE "configure_file(\"${CMAKE_CURRENT_BINARY_DIR}/quillo.pc.in\"
                 \"${CMAKE_CURRENT_BINARY_DIR}/quillo.pc\" @ONLY)" COMPONENT dev)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/quillo.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig
  COMPONENT dev)

include(cmake/package.cmake)
