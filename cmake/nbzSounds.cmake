# nbz_add_sounds(<target> [RATE <hz>] [WIDTH <n>] [GAIN <dB>] [OUTPUT_DIR <dir>]
#                SOURCES <file>...)
#
# Encodes each source with the installed nbzhq (nbz::nbzhq) into
# <dir>/<path>.nbz, where <path> is the source's path relative to the calling
# folder without its extension, and adds <target> to the default build,
# depending on every output. RATE, WIDTH and GAIN are nbzhq's -r, -w and
# dBGain (without RATE a sound keeps its file's rate); OUTPUT_DIR defaults to
# the calling folder's binary folder. Each sound is a build rule of its own,
# run again only when its source or nbzhq changes; nbzhq writes the same
# bytes on every machine and replaces an output only when it is complete. A
# sound that fails fails the build with nbzhq's one-line message. The target's
# NBZ_SOUNDS property lists the outputs, for install(FILES).

function(nbz_add_sounds target)
  cmake_parse_arguments(PARSE_ARGV 1 arg "" "RATE;WIDTH;GAIN;OUTPUT_DIR" "SOURCES")
  if(arg_UNPARSED_ARGUMENTS)
    message(FATAL_ERROR "nbz_add_sounds(${target}): unknown arguments: ${arg_UNPARSED_ARGUMENTS}")
  endif()
  if(NOT arg_SOURCES)
    message(FATAL_ERROR "nbz_add_sounds(${target}): no SOURCES given.")
  endif()
  if(NOT TARGET nbz::nbzhq)
    message(FATAL_ERROR "nbz_add_sounds(${target}): this nbz package was built without nbzhq (libsndfile).")
  endif()
  set(options "")
  if(DEFINED arg_RATE)
    if(NOT arg_RATE MATCHES "^[0-9]+$" OR arg_RATE LESS 1000 OR arg_RATE GREATER 768000)
      message(FATAL_ERROR "nbz_add_sounds(${target}): RATE needs a sample rate from 1000 to 768000 Hz, not '${arg_RATE}'.")
    endif()
    list(APPEND options -r ${arg_RATE})
  endif()
  if(DEFINED arg_WIDTH)
    if(NOT arg_WIDTH MATCHES "^[0-9]+$" OR arg_WIDTH LESS 1 OR arg_WIDTH GREATER 64)
      message(FATAL_ERROR "nbz_add_sounds(${target}): WIDTH needs a search width from 1 to 64, not '${arg_WIDTH}'.")
    endif()
    list(APPEND options -w ${arg_WIDTH})
  endif()
  set(gain "")
  if(DEFINED arg_GAIN)
    if(NOT arg_GAIN MATCHES "^[-+]?([0-9]+\\.?[0-9]*|\\.[0-9]+)$")
      message(FATAL_ERROR "nbz_add_sounds(${target}): GAIN needs a number of decibels, not '${arg_GAIN}'.")
    endif()
    set(gain ${arg_GAIN})
  endif()
  set(output_dir ${CMAKE_CURRENT_BINARY_DIR})
  if(DEFINED arg_OUTPUT_DIR)
    cmake_path(ABSOLUTE_PATH arg_OUTPUT_DIR BASE_DIRECTORY ${CMAKE_CURRENT_BINARY_DIR} NORMALIZE OUTPUT_VARIABLE output_dir)
  endif()

  # Every output of every call so far, with its source, so that two sources
  # that would write one file are refused here rather than racing in the build.
  get_property(known_outputs GLOBAL PROPERTY nbz_sound_outputs)
  get_property(known_sources GLOBAL PROPERTY nbz_sound_sources)
  set(outputs "")
  foreach(source IN LISTS arg_SOURCES)
    cmake_path(ABSOLUTE_PATH source BASE_DIRECTORY ${CMAKE_CURRENT_SOURCE_DIR} NORMALIZE OUTPUT_VARIABLE input)
    cmake_path(RELATIVE_PATH input BASE_DIRECTORY ${CMAKE_CURRENT_SOURCE_DIR} OUTPUT_VARIABLE relative)
    if(relative MATCHES "^\\.\\.(/|$)" OR IS_ABSOLUTE "${relative}")
      message(FATAL_ERROR "nbz_add_sounds(${target}): ${source} is outside ${CMAKE_CURRENT_SOURCE_DIR}, "
                          "so it has no path to keep under OUTPUT_DIR.")
    endif()
    cmake_path(REPLACE_EXTENSION relative LAST_ONLY .nbz OUTPUT_VARIABLE relative_output)
    set(output ${output_dir}/${relative_output})
    list(FIND known_outputs "${output}" earlier)
    if(NOT earlier EQUAL -1)
      list(GET known_sources ${earlier} earlier_source)
      message(FATAL_ERROR "nbz_add_sounds(${target}): ${earlier_source} and ${input} would both be encoded to ${output}.")
    endif()
    if(output STREQUAL input)
      message(FATAL_ERROR "nbz_add_sounds(${target}): ${input} would be encoded over itself: give another OUTPUT_DIR.")
    endif()
    list(APPEND known_outputs "${output}")
    list(APPEND known_sources "${input}")
    list(APPEND outputs "${output}")

    cmake_path(GET output PARENT_PATH folder)
    add_custom_command(OUTPUT ${output}
      COMMAND ${CMAKE_COMMAND} -E make_directory ${folder}
      COMMAND nbz::nbzhq ${options} ${input} ${output} ${gain}
      DEPENDS ${input} $<TARGET_FILE:nbz::nbzhq>
      COMMENT "Encoding sound ${relative}"
      VERBATIM)
  endforeach()
  set_property(GLOBAL PROPERTY nbz_sound_outputs "${known_outputs}")
  set_property(GLOBAL PROPERTY nbz_sound_sources "${known_sources}")

  add_custom_target(${target} ALL DEPENDS ${outputs})
  set_property(TARGET ${target} PROPERTY NBZ_SOUNDS "${outputs}")
endfunction()
