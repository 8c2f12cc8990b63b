# Static 32-bit Linux programs (preset linux-x86), built with the host's
# compilers and their multilib parts (gcc-multilib, g++-multilib, lib32z1-dev).
# They hold the code to 32-bit size_t and pointers, and the tests run them
# under qemu's user-mode emulator (qemu-user-static), since the host may not
# run i386 programs itself.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR i686)
set(CMAKE_C_COMPILER gcc)
set(CMAKE_CXX_COMPILER g++)
set(CMAKE_C_FLAGS_INIT -m32)
set(CMAKE_CXX_FLAGS_INIT -m32)
set(CMAKE_EXE_LINKER_FLAGS_INIT "-m32 -static")

# Libraries come from the 32-bit directories, as archives: the programs
# link statically. zlib comes from lib32z1-dev; libcrypto and libxml2 from
# Debian's i386 packages (libssl-dev:i386, libxml2-dev:i386 and
# liblzma-dev:i386, installed beside the host's after
# `dpkg --add-architecture i386`).
set(CMAKE_LIBRARY_PATH /usr/lib32 /usr/lib/i386-linux-gnu)
set(ZLIB_USE_STATIC_LIBS ON)
set(OPENSSL_USE_STATIC_LIBS ON)
set(LIBXML2_LIBRARY /usr/lib/i386-linux-gnu/libxml2.a CACHE FILEPATH "libxml2 archive")
# What the libxml2 archive needs besides itself.
set(SKARVEL_XML_STATIC_LIBS icuuc icudata lzma z m dl pthread)

find_program(SKARVEL_QEMU_I386 NAMES qemu-i386-static qemu-i386 NO_CACHE)
if(SKARVEL_QEMU_I386)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${SKARVEL_QEMU_I386})
endif()
