# Installs the built project into a scratch prefix, then builds and runs a
# small consumer against it, once through find_package(nbz) and once through
# pkg-config; checks that the consumer is the README's library example, word
# for word. Variables: BUILD_DIR, SOURCE_DIR, WORK_DIR, CXX, README.

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
foreach(installed bin/nbz bin/nbzdec bin/nbzhq include/nbz/nbz.h share/man/man1/nbz.1)
  if(NOT EXISTS ${prefix}/${installed})
    message(FATAL_ERROR "not installed: ${installed}")
  endif()
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
