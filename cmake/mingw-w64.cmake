# Cross-compiling for Windows with Debian's MinGW-w64 compilers
# (g++-mingw-w64-x86-64, g++-mingw-w64-i686). Not used on its own: the
# per-target files set SKARVEL_MINGW_TRIPLE and CMAKE_SYSTEM_PROCESSOR first.
set(CMAKE_SYSTEM_NAME Windows)

# The compilers of the POSIX thread model: those of the win32 model have no
# std::mutex in GCC 12, which GoogleTest needs. The thread library links
# statically like the rest.
set(CMAKE_C_COMPILER ${SKARVEL_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${SKARVEL_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${SKARVEL_MINGW_TRIPLE}-windres)

# Headers, libraries and CMake packages come from the target's sysroot
# (libz-mingw-w64-dev installs zlib there); programs run on the build host.
set(CMAKE_FIND_ROOT_PATH /usr/${SKARVEL_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# The executables link statically, so a library found must be an archive
# (libz.a, not the import library of zlib1.dll beside it).
set(ZLIB_USE_STATIC_LIBS ON)

# Tests run under Wine: the loader of the target's width, found on the host,
# behind wine-run. Without it the build still works; only the test step needs it.
find_program(SKARVEL_WINE NAMES ${SKARVEL_WINE_NAMES} PATHS /usr/lib/wine NO_CACHE)
if(SKARVEL_WINE)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/wine-run ${SKARVEL_WINE})
endif()
