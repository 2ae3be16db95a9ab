# The Debian package, made by `cpack` in a build configured with
# CMAKE_INSTALL_PREFIX=/usr (scripts/release does so). It holds what
# `cmake --install` installs: the commands, their man pages, the C++ library
# with its headers, the C interface's shared library (libnbz.so.1) with its
# header, the CMake package and the pkg-config files.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME nbz)
set(CPACK_PACKAGE_VENDOR "the nbz authors")
set(CPACK_PACKAGE_CONTACT "the nbz authors")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "${PROJECT_DESCRIPTION}")
string(CONCAT CPACK_PACKAGE_DESCRIPTION
  "nbz turns 16-bit audio into a stream of 4-bit adaptive differential codes, eight per 32-bit word: "
  "nbz encodes raw PCM in one fast pass; nbzhq reads audio files, resamples them and chooses the codes by "
  "search; nbzdec decodes a stream to WAV, FLAC, AIFF or raw PCM. With the C++20 library and its headers, "
  "the C interface as a shared library (libnbz.so.1, <nbz/nbz_c.h>) for C, C# and Python, a CMake package and "
  "pkg-config files.")
set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)
set(CPACK_PACKAGING_INSTALL_PREFIX ${CMAKE_INSTALL_PREFIX})
set(CPACK_STRIP_FILES ON)

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION sound)
# The run-time libraries (libsndfile, the C++ runtime) come from
# what the commands link, through dpkg-shlibdeps.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# libnbz.so.1: a shlibs entry, so that other packages built against it
# depend on this version or a later one, and ldconfig runs when the package
# is installed and removed (CPack adds it for a library under /usr/lib).
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY ">=")

include(CPack)
