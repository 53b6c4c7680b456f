# Runs each program of PROGRAMS (a list) with the shortest benchmark time and
# fails when one fails or the number of System V segments grew.
function(segment_count out)
  file(STRINGS /proc/sysvipc/shm lines)
  list(LENGTH lines n)
  set(${out} ${n} PARENT_SCOPE)
endfunction()

foreach(program ${PROGRAMS})
  segment_count(before)
  execute_process(COMMAND ${program} --benchmark_min_time=0.001
                  RESULT_VARIABLE status OUTPUT_QUIET ERROR_VARIABLE err)
  segment_count(after)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "${program} failed (${status}): ${err}")
  endif()
  if(after GREATER before)
    execute_process(COMMAND ipcs -m)
    message(FATAL_ERROR "${program} left System V segments behind: ${before} before, ${after} after")
  endif()
  get_filename_component(name ${program} NAME)
  message(STATUS "${name}: ${before} segments before and after")
endforeach()
