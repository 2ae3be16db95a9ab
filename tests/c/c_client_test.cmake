# Runs CLIENT (c_client, built against the library) in WORK_DIR, then checks
# its files against the commands in BIN.
include(${CMAKE_CURRENT_LIST_DIR}/check_client.cmake)
file(REMOVE_RECURSE ${WORK_DIR})
file(MAKE_DIRECTORY ${WORK_DIR})
execute_process(COMMAND ${CLIENT} ${WORK_DIR} RESULT_VARIABLE status OUTPUT_VARIABLE out ERROR_VARIABLE err)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "c_client failed:\n${out}\n${err}")
endif()
message(STATUS "${out}")
nbz_check_client(${WORK_DIR} ${BIN})
