# Toolchain for 32-bit Windows executables (preset windows-x86).
set(SKARVEL_MINGW_TRIPLE i686-w64-mingw32)
set(CMAKE_SYSTEM_PROCESSOR x86)
# The 32-bit loader comes with wine32 (an i386 package); /usr/bin/wine picks
# it when it is installed.
set(SKARVEL_WINE_NAMES wine)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64.cmake)
