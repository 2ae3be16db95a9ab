# Installs the built project into a scratch prefix, then builds and runs a
# small consumer against it, once through find_package(nbz) and once through
# pkg-config; checks that the consumer is the README's library example, word
# for word. Builds the C interface's client (tests/c) through nbz::c, and
# through pkg-config nbz-c as C99 with every warning an error, and checks
# the files that it writes against the commands'; then builds a game's
# sounds with nbz_add_sounds() (sounds_test.cmake). Variables: BUILD_DIR,
# SOURCE_DIR, WORK_DIR, CXX, CC, README, GENERATOR, MAKE_PROGRAM.

function(run)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE status OUTPUT_VARIABLE out ERROR_VARIABLE err)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "failed: ${ARGN}\n${out}\n${err}")
  endif()
  set(run_output "${out}" PARENT_SCOPE)
endfunction()

file(READ ${SOURCE_DIR}/consumer.cpp consumer)
string(FIND "${consumer}" "#include" example_start)
string(SUBSTRING "${consumer}" ${example_start} -1 example)
file(READ ${README} readme)
string(FIND "${readme}" "```cpp\n${example}```" in_readme)
if(in_readme EQUAL -1)
  message(FATAL_ERROR "The README's library example differs from ${SOURCE_DIR}/consumer.cpp (from its first #include).")
endif()

file(REMOVE_RECURSE ${WORK_DIR})
set(prefix ${WORK_DIR}/prefix)
run(${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix ${prefix})
foreach(installed bin/nbz bin/nbzdec bin/nbzhq include/nbz/nbz.h include/nbz/nbz_c.h share/man/man1/nbz.1)
  if(NOT EXISTS ${prefix}/${installed})
    message(FATAL_ERROR "not installed: ${installed}")
  endif()
endforeach()

# The libraries, wherever the build's CMAKE_INSTALL_LIBDIR puts them: the
# C interface's, and the C++ archive under a name of its own.
foreach(library libnbz.so.1 libnbz_codec.a libnbz_prepare.a pkgconfig/nbz-c.pc)
  file(GLOB_RECURSE found ${prefix}/*/${library})
  if(NOT found)
    message(FATAL_ERROR "not installed: ${library}")
  endif()
endforeach()
file(GLOB_RECURSE clashing ${prefix}/*/libnbz.a)
if(clashing)
  message(FATAL_ERROR "installed: ${clashing}, which -lnbz would take for the shared library")
endif()

# Only the public headers: none of the codec's private ones, nothing of the
# commands or of the libraries that are not installed, and each installed
# header compiles by itself.
get_filename_component(root ${SOURCE_DIR}/../.. ABSOLUTE)
file(GLOB_RECURSE private_headers RELATIVE ${root}/codec/src ${root}/codec/src/*.h)
foreach(header ${private_headers})
  if(EXISTS ${prefix}/include/${header} OR EXISTS ${prefix}/include/nbz/${header})
    message(FATAL_ERROR "a private header is installed: ${header}")
  endif()
endforeach()
file(GLOB_RECURSE installed_headers RELATIVE ${prefix}/include ${prefix}/include/*)
foreach(header ${installed_headers})
  if(header MATCHES "^nbz/(cli|platform|audio)/")
    message(FATAL_ERROR "installed, but not a public header: ${header}")
  endif()
  run(${CXX} -std=c++20 -fsyntax-only -I${prefix}/include -x c++ ${prefix}/include/${header})
endforeach()

run(${CMAKE_COMMAND} -S ${SOURCE_DIR} -B ${WORK_DIR}/consumer -DCMAKE_PREFIX_PATH=${prefix}
    -DCMAKE_CXX_COMPILER=${CXX})
run(${CMAKE_COMMAND} --build ${WORK_DIR}/consumer)
run(${WORK_DIR}/consumer/consumer)
if(NOT run_output STREQUAL "word 21030010, decoded 0 1792 3360 2940 4897 6609 6984 7390, level 7390\n")
  message(FATAL_ERROR "unexpected output from the consumer: ${run_output}")
endif()
message(STATUS "find_package consumer: ${run_output}")

file(GLOB_RECURSE pc_file ${prefix}/*/nbz.pc)
get_filename_component(pc_dir "${pc_file}" DIRECTORY)
set(ENV{PKG_CONFIG_PATH} ${pc_dir})
run(pkg-config --cflags --libs nbz)
string(STRIP "${run_output}" flags)
separate_arguments(flags UNIX_COMMAND "${flags}")
run(${CXX} ${SOURCE_DIR}/consumer.cpp ${flags} -o ${WORK_DIR}/pc_consumer)
run(${WORK_DIR}/pc_consumer)
message(STATUS "pkg-config consumer: ${run_output}")
run(${WORK_DIR}/consumer/c_client ${WORK_DIR}/consumer)
message(STATUS "nbz::c client: ${run_output}")

run(pkg-config --cflags --libs nbz-c)
string(STRIP "${run_output}" flags)
separate_arguments(flags UNIX_COMMAND "${flags}")
run(pkg-config --variable=libdir nbz-c)
string(STRIP "${run_output}" libdir)
set(c_client_dir ${WORK_DIR}/c_client)
file(MAKE_DIRECTORY ${c_client_dir})
run(${CC} -std=c99 -Wall -Wextra -pedantic -Werror ${SOURCE_DIR}/../c/c_client.c ${flags} -Wl,-rpath,${libdir}
    -o ${c_client_dir}/c_client)
run(${c_client_dir}/c_client ${c_client_dir})
include(${SOURCE_DIR}/../c/check_client.cmake)
nbz_check_client(${c_client_dir} ${BUILD_DIR})
string(STRIP "${run_output}" client_output)
message(STATUS "pkg-config nbz-c client: the commands' bytes and reports (${client_output})")

include(${SOURCE_DIR}/sounds_test.cmake)
