# mingw-w64.cmake - toolchain for cross-building the Windows tool with x86_64-w64-mingw32.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(QUILLO_MINGW_PREFIX x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${QUILLO_MINGW_PREFIX}-gcc)
set(CMAKE_CXX_COMPILER ${QUILLO_MINGW_PREFIX}-g++)
set(CMAKE_RC_COMPILER ${QUILLO_MINGW_PREFIX}-windres)

# Look for libraries and headers (zlib) in the cross sysroot only; programs on the build host.
set(CMAKE_FIND_ROOT_PATH /usr/${QUILLO_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# A self-contained executable: no libgcc or libstdc++ DLLs beside it.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static-libgcc -static-libstdc++")
# Link zlib statically too (FindZLIB honours this from CMake 3.24 on).
set(ZLIB_USE_STATIC_LIBS ON)
