# install.cmake - what `cmake --install` puts under the prefix.
#
#   bin/quillo                          the console tool
#   include/quillo/*.h                  the public headers of the package library
#   lib/libquillo.a                     the package library, host layer included
#   lib/cmake/quillo/                   find_package(quillo CONFIG) -> quillo::pck
#   lib/pkgconfig/quillo.pc             pkg-config --cflags --libs quillo
#   share/man/man1/quillo.1             the manual page
#
# The directories are those of GNUInstallDirs, so a distribution's choices
# (lib/x86_64-linux-gnu, say) apply. Nothing of lib/host/ or tool/ is installed.
include(CMakePackageConfigHelpers)

set(QUILLO_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/quillo)

install(TARGETS quillo RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(TARGETS quillo_lib EXPORT quilloTargets
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(FILES ${QUILLO_PUBLIC_HEADERS} DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/quillo)
install(FILES doc/quillo.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)

# The CMake package. The config file looks up what the exported target links to:
# zlib always, and the thread library when the package library uses one.
install(EXPORT quilloTargets NAMESPACE quillo:: DESTINATION ${QUILLO_CMAKE_DIR}
  FILE quilloTargets.cmake)
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
  ${CMAKE_CURRENT_BINARY_DIR}/quilloConfigVersion.cmake DESTINATION ${QUILLO_CMAKE_DIR})

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
set(QUILLO_PC_PREFIX "@CMAKE_INSTALL_PREFIX@")
configure_file(cmake/quillo.pc.in ${CMAKE_CURRENT_BINARY_DIR}/quillo.pc.in @ONLY)
install(CODE "configure_file(\"${CMAKE_CURRENT_BINARY_DIR}/quillo.pc.in\"
                 \"${CMAKE_CURRENT_BINARY_DIR}/quillo.pc\" @ONLY)")
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/quillo.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
