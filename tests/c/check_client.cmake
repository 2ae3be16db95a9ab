# nbz_check_client(DIR BIN): the files that c_client wrote in DIR against
# the commands in BIN run on the same samples: each stream or decoded file
# byte for byte, and each report as the end of the command's output.

# Runs COMMAND... in DIR, which writes REFERENCE; NAME must equal it, and
# NAME's report (the .txt beside it) must end the command's output.
function(nbz_compare_with_command dir name reference)
  execute_process(COMMAND ${ARGN} WORKING_DIRECTORY ${dir} RESULT_VARIABLE status OUTPUT_VARIABLE out
    ERROR_VARIABLE err)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "failed: ${ARGN}\n${out}\n${err}")
  endif()
  file(SHA256 ${dir}/${name} mine)
  file(SHA256 ${dir}/${reference} theirs)
  if(NOT mine STREQUAL theirs)
    message(FATAL_ERROR "${name} differs from what `${ARGN}` writes.")
  endif()
  string(REGEX REPLACE "\\.[a-z]+$" ".txt" report_file ${name})
  file(READ ${dir}/${report_file} report)
  string(LENGTH "${out}" out_length)
  string(LENGTH "${report}" report_length)
  math(EXPR start "${out_length} - ${report_length}")
  if(start LESS 0)
    set(start 0)
  endif()
  string(SUBSTRING "${out}" ${start} -1 tail)
  if(NOT tail STREQUAL report)
    message(FATAL_ERROR "${report_file}:\n${report}differs from the end of what `${ARGN}` prints:\n${out}")
  endif()
endfunction()

function(nbz_check_client dir bin)
  nbz_compare_with_command(${dir} exact.nbz ref-exact.nbz ${bin}/nbz mono.raw ref-exact.nbz)
  nbz_compare_with_command(${dir} gain.nbz ref-gain.nbz ${bin}/nbz mono.raw ref-gain.nbz -20)
  nbz_compare_with_command(${dir} decoded.raw ref-decoded.raw ${bin}/nbzdec exact.nbz ref-decoded.raw)
  nbz_compare_with_command(${dir} search.nbz ref-search.nbz ${bin}/nbzhq -w 8 mono.raw ref-search.nbz)
  nbz_compare_with_command(${dir} prepared.nbz ref-prepared.nbz
    ${bin}/nbzhq -w 8 -r 22050 stereo.wav ref-prepared.nbz -3)
endfunction()
