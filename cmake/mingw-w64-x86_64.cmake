# Toolchain for 64-bit Windows executables (preset windows-x64).
set(SKARVEL_MINGW_TRIPLE x86_64-w64-mingw32)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
# Debian's wine64 package installs the 64-bit loader off the PATH.
set(SKARVEL_WINE_NAMES wine64 wine)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64.cmake)
