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
# link statically.
set(CMAKE_LIBRARY_PATH /usr/lib32)
set(ZLIB_USE_STATIC_LIBS ON)

find_program(SKARVEL_QEMU_I386 NAMES qemu-i386-static qemu-i386 NO_CACHE)
if(SKARVEL_QEMU_I386)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${SKARVEL_QEMU_I386})
endif()
