# install_test.cmake - installs the build into a fresh prefix and uses it from outside.
#
# Run by ctest as `cmake -D... -P install_test.cmake`. It checks that the prefix
# holds exactly the installed files (nothing of the host layer or the tool's
# sources), that a program built with find_package(quillo CONFIG) and linked to
# quillo::pck opens a package made by the installed tool, that the pkg-config file
# builds the same program, and that the manual page renders without warnings.
#
# Inputs: SOURCE_DIR BUILD_DIR WORK_DIR GENERATOR CXX_COMPILER BUILD_TYPE CXX_FLAGS
# EXE_LINKER_FLAGS BINDIR LIBDIR INCLUDEDIR MANDIR DATADIR PKG_CONFIG MAN
cmake_minimum_required(VERSION 3.16)

function(fail)
  string(JOIN "" text ${ARGN})
  message(FATAL_ERROR "${text}")
endfunction()

# Runs a command and fails unless it exits with `expected`; OUT and ERR receive
# its standard output and standard error.
function(run expected)
  execute_process(COMMAND ${ARGN} WORKING_DIRECTORY ${WORK_DIR} RESULT_VARIABLE rc
                  OUTPUT_VARIABLE out ERROR_VARIABLE err)
  if(NOT rc STREQUAL "${expected}")
    string(JOIN " " line ${ARGN})
    fail("`${line}` exited with ${rc}, not ${expected}\n--- stdout\n${out}\n--- stderr\n${err}")
  endif()
  set(OUT "${out}" PARENT_SCOPE)
  set(ERR "${err}" PARENT_SCOPE)
endfunction()

function(expect_equal what actual expected)
  if(NOT actual STREQUAL expected)
    fail("${what}:\n--- expected\n${expected}\n--- actual\n${actual}")
  endif()
endfunction()

set(prefix ${WORK_DIR}/prefix)
file(REMOVE_RECURSE ${WORK_DIR})
file(MAKE_DIRECTORY ${WORK_DIR})

# 1. Install, and compare the installed files with the list of what belongs there.
run(0 ${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix ${prefix} --config ${BUILD_TYPE})
if(BUILD_TYPE)
  string(TOLOWER "${BUILD_TYPE}" config)
else()
  set(config noconfig)
endif()
set(expected_files
  ${BINDIR}/quillo
  ${INCLUDEDIR}/quillo/archive.h
  ${INCLUDEDIR}/quillo/codec.h
  ${INCLUDEDIR}/quillo/entry_reader.h
  ${INCLUDEDIR}/quillo/format.h
  ${INCLUDEDIR}/quillo/name_match.h
  ${INCLUDEDIR}/quillo/status.h
  ${LIBDIR}/cmake/quillo/quilloConfig.cmake
  ${LIBDIR}/cmake/quillo/quilloConfigVersion.cmake
  ${LIBDIR}/cmake/quillo/quilloTargets-${config}.cmake
  ${LIBDIR}/cmake/quillo/quilloTargets.cmake
  ${LIBDIR}/libquillo.a
  ${LIBDIR}/pkgconfig/quillo.pc
  ${MANDIR}/man1/quillo.1.gz
  ${DATADIR}/bash-completion/completions/quillo
  ${DATADIR}/doc/quillo/CHANGELOG.md
  ${DATADIR}/doc/quillo/README.md
  ${DATADIR}/doc/quillo/changelog.gz
  ${DATADIR}/doc/quillo/copyright)
list(SORT expected_files)
file(GLOB_RECURSE installed_files RELATIVE ${prefix} ${prefix}/*)
list(SORT installed_files)
string(JOIN "\n" expected_text ${expected_files})
string(JOIN "\n" installed_text ${installed_files})
expect_equal("installed files" "${installed_text}" "${expected_text}")

# 2. A consumer outside the tree, found through the prefix alone.
set(consumer ${WORK_DIR}/consumer)
run(0 ${CMAKE_COMMAND} -S ${SOURCE_DIR}/tests/install_consumer -B ${consumer} -G ${GENERATOR}
    -DCMAKE_PREFIX_PATH=${prefix} -DCMAKE_FIND_USE_PACKAGE_REGISTRY=OFF
    -DCMAKE_CXX_COMPILER=${CXX_COMPILER} -DCMAKE_BUILD_TYPE=${BUILD_TYPE}
    "-DCMAKE_CXX_FLAGS=${CXX_FLAGS}" "-DCMAKE_EXE_LINKER_FLAGS=${EXE_LINKER_FLAGS}")
file(STRINGS ${consumer}/CMakeCache.txt found REGEX "^quillo_DIR:")
expect_equal("the package found" "${found}" "quillo_DIR:PATH=${prefix}/${LIBDIR}/cmake/quillo")
run(0 ${CMAKE_COMMAND} --build ${consumer} --config ${BUILD_TYPE})

# 3. A package made by the installed tool: 6 + 18 + 0 bytes in three files.
file(WRITE ${WORK_DIR}/data/a.txt "alpha\n")
file(WRITE ${WORK_DIR}/data/sub/b.txt "bravo bravo bravo\n")
file(WRITE ${WORK_DIR}/data/c.txt "")
run(1 ${prefix}/${BINDIR}/quillo -c data test.pck)
if(NOT OUT MATCHES "\n pck create success\n$")
  fail("the installed tool did not create the package:\n${OUT}")
endif()
run(0 ${consumer}/quillo_consumer test.pck)
expect_equal("consumer output" "${OUT}" "3 entries, 24 bytes\n")
run(1 ${consumer}/quillo_consumer missing.pck)
expect_equal("consumer output for a missing package" "${OUT}" "file open error\n")

# 4. The same program built from the pkg-config file alone.
if(PKG_CONFIG)
  # Searched before the system directories, which supply zlib.pc.
  set(ENV{PKG_CONFIG_PATH} ${prefix}/${LIBDIR}/pkgconfig)
  run(0 ${PKG_CONFIG} --cflags --libs quillo)
  string(STRIP "${OUT}" pc_flags)
  separate_arguments(pc_flags UNIX_COMMAND "${pc_flags}")
  separate_arguments(cxx_flags UNIX_COMMAND "${CXX_FLAGS} ${EXE_LINKER_FLAGS}")
  set(src ${SOURCE_DIR}/tests/install_consumer)
  run(0 ${CXX_COMPILER} -std=c++20 ${cxx_flags} -o ${WORK_DIR}/pc_consumer ${src}/main.cpp
      ${src}/header_status.cpp ${src}/header_format.cpp ${src}/header_codec.cpp
      ${src}/header_archive.cpp ${src}/header_name_match.cpp ${src}/header_entry_reader.cpp
      ${pc_flags})
  run(0 ${WORK_DIR}/pc_consumer test.pck)
  expect_equal("pkg-config consumer output" "${OUT}" "3 entries, 24 bytes\n")
else()
  message(STATUS "pkg-config not found: the pkg-config build is not checked")
endif()

# 5. The manual page renders, and man reports no warning about it.
if(MAN)
  run(0 ${CMAKE_COMMAND} -E env LC_ALL=C MANWIDTH=80 ${MAN} --warnings -l
      ${prefix}/${MANDIR}/man1/quillo.1.gz)
  expect_equal("warnings from man --warnings" "${ERR}" "")
  if(NOT OUT MATCHES "quillo -c directory")
    fail("the manual page did not render its synopsis:\n${OUT}")
  endif()
else()
  message(STATUS "man not found: the manual page is not checked")
endif()
