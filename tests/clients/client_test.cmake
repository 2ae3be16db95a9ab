# Makes raw PCM with MAKE_PCM, encodes it with BIN/nbz and BIN/nbzhq -w 4,
# then runs CLIENT (a command line) on the input and the two streams; the
# client checks its own bytes against them. WORK_DIR is made afresh.
file(REMOVE_RECURSE ${WORK_DIR})
file(MAKE_DIRECTORY ${WORK_DIR})
foreach(step "${MAKE_PCM};in.raw;1;3;music" "${BIN}/nbz;in.raw;exact.nbz" "${BIN}/nbzhq;-w;4;in.raw;search.nbz"
             "${CLIENT};in.raw;exact.nbz;search.nbz")
  execute_process(COMMAND ${step} WORKING_DIRECTORY ${WORK_DIR} RESULT_VARIABLE status OUTPUT_VARIABLE out
    ERROR_VARIABLE err)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "failed: ${step}\n${out}\n${err}")
  endif()
endforeach()
message(STATUS "${out}")
