# Linux arm64 with Debian's cross compiler and the arm64 libraries installed
# through multiarch (libsndfile1-dev:arm64, libgtest-dev:arm64). The tests
# run under qemu-user.
#   cmake -B build-arm64 --toolchain cmake/toolchains/aarch64-linux-gnu.cmake
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(nbz_triple aarch64-linux-gnu)

set(CMAKE_C_COMPILER ${nbz_triple}-gcc)
set(CMAKE_CXX_COMPILER ${nbz_triple}-g++)
set(CMAKE_LIBRARY_ARCHITECTURE ${nbz_triple})

set(CMAKE_FIND_ROOT_PATH /usr/${nbz_triple})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
# Multiarch libraries live under /usr/lib/aarch64-linux-gnu, beside the build
# machine's: search both, the architecture directory picks the right ones.
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY BOTH)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE BOTH)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE BOTH)
set(ENV{PKG_CONFIG_LIBDIR} "/usr/lib/${nbz_triple}/pkgconfig:/usr/share/pkgconfig")
set(ENV{PKG_CONFIG_PATH} "")

find_program(NBZ_QEMU NAMES qemu-${CMAKE_SYSTEM_PROCESSOR} qemu-${CMAKE_SYSTEM_PROCESSOR}-static)
# With the arm64 C library installed through multiarch, qemu finds the loader
# itself; its -L prefix is only for a machine without it (and under
# qemu 7.2 a fork with -L hangs).
if(NBZ_QEMU AND EXISTS /lib/ld-linux-aarch64.so.1)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${NBZ_QEMU})
elseif(NBZ_QEMU)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${NBZ_QEMU} -L /usr/${nbz_triple})
endif()
