# mingw-w64.cmake - toolchain for cross-building the Windows tool with x86_64-w64-mingw32.
#
# The posix thread model is named directly: its GCC has std::thread, and the names
# do not depend on which alternative the system has chosen for the plain
# x86_64-w64-mingw32-g++.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(QUILLO_MINGW_PREFIX x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${QUILLO_MINGW_PREFIX}-gcc-posix)
set(CMAKE_CXX_COMPILER ${QUILLO_MINGW_PREFIX}-g++-posix)
set(CMAKE_RC_COMPILER ${QUILLO_MINGW_PREFIX}-windres)

# Look for libraries and headers (zlib) in the cross sysroot only; programs on the build host.
set(CMAKE_FIND_ROOT_PATH /usr/${QUILLO_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# A self-contained executable: -static takes libwinpthread (which the posix model
# brings in) as well as libgcc and libstdc++ from their archives, so the program
# needs no DLL beside it, only KERNEL32.dll and msvcrt.dll.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
# Link zlib statically too (FindZLIB honours this from CMake 3.24 on).
set(ZLIB_USE_STATIC_LIBS ON)

# Programs built for Windows (the tests, discovery of their cases) run under Wine
# on the build host when it is installed.
find_program(QUILLO_WINE NAMES wine wine64)
if(QUILLO_WINE)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${QUILLO_WINE})
endif()
