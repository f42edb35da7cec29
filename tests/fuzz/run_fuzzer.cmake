# Runs one fuzz target for SECONDS on a fresh copy of its seed corpus.
#   cmake -DFUZZER=<binary> -DSEEDS=<dir> -DWORK=<dir> -DSECONDS=<n> -P run_fuzzer.cmake
# Fails when the target finds a crash or a violated invariant; the input that
# did it is left in WORK as crash-* (or timeout-*, oom-*).
foreach(var FUZZER SEEDS WORK SECONDS)
  if(NOT DEFINED ${var})
    message(FATAL_ERROR "run_fuzzer.cmake: ${var} not set")
  endif()
endforeach()
file(REMOVE_RECURSE ${WORK}/corpus)
file(MAKE_DIRECTORY ${WORK})
file(COPY ${SEEDS}/ DESTINATION ${WORK}/corpus)
execute_process(
  COMMAND ${FUZZER} -max_total_time=${SECONDS} -timeout=25 -print_final_stats=1
          -artifact_prefix=${WORK}/ ${WORK}/corpus
  WORKING_DIRECTORY ${WORK}
  RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "${FUZZER} failed (${rc}); see ${WORK} for the input")
endif()
