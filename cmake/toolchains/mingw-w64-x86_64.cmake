# Windows x86-64 with Debian's MinGW-w64 cross compiler (the posix thread
# model, for std::thread). The tests run under Wine.
#   cmake -B build-windows --toolchain cmake/toolchains/mingw-w64-x86_64.cmake -DNBZ_DEPS_PREFIX=DIR
# NBZ_DEPS_PREFIX: where libsndfile (with the codecs linked into it) and
# GoogleTest for MinGW are installed (scripts/cross builds them).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(nbz_triple x86_64-w64-mingw32)

set(CMAKE_C_COMPILER ${nbz_triple}-gcc-posix)
set(CMAKE_CXX_COMPILER ${nbz_triple}-g++-posix)
set(CMAKE_RC_COMPILER ${nbz_triple}-windres)

set(NBZ_DEPS_PREFIX "" CACHE PATH "Prefix of the libraries built for this target")
set(CMAKE_FIND_ROOT_PATH /usr/${nbz_triple} ${NBZ_DEPS_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
# pkg-config must see this target's .pc files only, never the build machine's.
# The try_compile projects read this file again, without the prefix: they must
# not reset it.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES NBZ_DEPS_PREFIX)
if(NBZ_DEPS_PREFIX)
  set(ENV{PKG_CONFIG_LIBDIR} "${NBZ_DEPS_PREFIX}/lib/pkgconfig")
  set(ENV{PKG_CONFIG_PATH} "")
endif()

find_program(NBZ_WINE NAMES wine wine64)
if(NBZ_WINE)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${NBZ_WINE})
endif()
