# nbz_add_sounds() from the installed package in ${prefix}: a game's three
# sounds build to nbzhq's bytes, touching one encodes only that one again, a
# broken one fails the build with nbzhq's message, and two sources for one
# output are refused when configured. Included by package_test.cmake; also
# needs GENERATOR and MAKE_PROGRAM.

set(game ${WORK_DIR}/game)
file(COPY ${SOURCE_DIR}/sounds/CMakeLists.txt DESTINATION ${game})
file(MAKE_DIRECTORY ${game}/sfx ${game}/music)
# The sounds: a WAV from make_pcm, a FLAC and an AIFF decoded by nbzdec.
run(${BUILD_DIR}/make_pcm ${game}/sfx/door.wav 0.5 1)
foreach(sound sfx/step.flac music/theme.aiff)
  run(${BUILD_DIR}/make_pcm ${WORK_DIR}/sound.raw 0.7 2 speech)
  run(${prefix}/bin/nbz ${WORK_DIR}/sound.raw ${WORK_DIR}/sound.nbz)
  run(${prefix}/bin/nbzdec -r 32000 ${WORK_DIR}/sound.nbz ${game}/${sound})
endforeach()

set(build_options -G ${GENERATOR} -DCMAKE_PREFIX_PATH=${prefix})
if(MAKE_PROGRAM)
  list(APPEND build_options -DCMAKE_MAKE_PROGRAM=${MAKE_PROGRAM})
endif()
run(${CMAKE_COMMAND} -S ${game} -B ${game}/build ${build_options})

# build(<variable>): builds the game; the sounds encoded, in <variable>.
function(build encoded)
  run(${CMAKE_COMMAND} --build ${game}/build)
  string(REGEX MATCHALL "Encoding sound [^\r\n]+" lines "${run_output}")
  list(TRANSFORM lines REPLACE "^Encoding sound " "")
  list(SORT lines)
  set(${encoded} "${lines}" PARENT_SCOPE)
endfunction()

build(encoded)
if(NOT encoded STREQUAL "music/theme.aiff;sfx/door.wav;sfx/step.flac")
  message(FATAL_ERROR "the first build encoded '${encoded}'")
endif()
foreach(sound sfx/door sfx/step music/theme)
  file(GLOB source ${game}/${sound}.*)
  run(${prefix}/bin/nbzhq -r 22050 -w 16 ${source} ${WORK_DIR}/direct.nbz -3)
  run(${CMAKE_COMMAND} -E compare_files ${game}/build/sounds/${sound}.nbz ${WORK_DIR}/direct.nbz)
endforeach()

file(TOUCH ${game}/sfx/step.flac)
build(encoded)
if(NOT encoded STREQUAL "sfx/step.flac")
  message(FATAL_ERROR "after touching sfx/step.flac the build encoded '${encoded}'")
endif()
build(encoded)
if(encoded)
  message(FATAL_ERROR "a build with nothing changed encoded '${encoded}'")
endif()

# A WAV cut short in its header fails the build with nbzhq's message.
file(WRITE ${game}/sfx/door.wav "RIFF1234WAVEfmt ")
execute_process(COMMAND ${CMAKE_COMMAND} --build ${game}/build RESULT_VARIABLE status OUTPUT_VARIABLE out ERROR_VARIABLE out)
if(status EQUAL 0 OR NOT out MATCHES "Couldn't decode input file\\.")
  message(FATAL_ERROR "a broken sound: status ${status}, output:\n${out}")
endif()

# Two sources for one output are refused, naming both.
execute_process(COMMAND ${CMAKE_COMMAND} -S ${game} -B ${game}/build-twice ${build_options} -DEXTRA_SOUNDS=sfx/door.flac
  RESULT_VARIABLE status OUTPUT_VARIABLE out ERROR_VARIABLE out)
string(REGEX REPLACE "[ \n]+" " " out "${out}")  # as one line, however CMake wrapped it
if(status EQUAL 0 OR NOT out MATCHES "/sfx/door\\.wav and [^ ]*/sfx/door\\.flac would both be encoded")
  message(FATAL_ERROR "two sources for sounds/sfx/door.nbz: status ${status}, output:\n${out}")
endif()
message(STATUS "nbz_add_sounds: three sounds built, one rebuilt after a touch, a broken one and a clash refused")
