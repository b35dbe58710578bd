# Compiles SOURCE (with CXX, against INCLUDE, with the extra FLAGS) and
# succeeds only when the compilation fails with a message matching MATCH
# (by default, one naming the supported types).
#   cmake -DCXX=... -DINCLUDE=... -DSOURCE=... [-DFLAGS=...] [-DMATCH=...]
#         -P ExpectFailure.cmake
if(NOT DEFINED MATCH)
  set(MATCH "T must be (std::string, )?bool, int, long, long long, unsigned, unsigned long, unsigned long long, float")
endif()
separate_arguments(FLAGS)
execute_process(
  COMMAND ${CXX} -std=c++17 -fsyntax-only ${FLAGS} -I${INCLUDE} ${SOURCE}
  RESULT_VARIABLE result
  OUTPUT_VARIABLE output
  ERROR_VARIABLE output)
if(result EQUAL 0)
  message(FATAL_ERROR "${SOURCE} compiled, but must not")
endif()
if(NOT output MATCHES "${MATCH}")
  message(FATAL_ERROR "${SOURCE} failed without matching \"${MATCH}\":\n${output}")
endif()
message(STATUS "${SOURCE}: refused, as it must be")
