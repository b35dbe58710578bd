# Compiles SOURCE (with CXX, against INCLUDE) and succeeds only when the
# compilation fails with a message naming the supported types.
#   cmake -DCXX=... -DINCLUDE=... -DSOURCE=... -P ExpectFailure.cmake
execute_process(
  COMMAND ${CXX} -std=c++17 -fsyntax-only -I${INCLUDE} ${SOURCE}
  RESULT_VARIABLE result
  OUTPUT_VARIABLE output
  ERROR_VARIABLE output)
if(result EQUAL 0)
  message(FATAL_ERROR "${SOURCE} compiled, but must not")
endif()
if(NOT output MATCHES "T must be (std::string, )?bool, int, long, long long, unsigned, unsigned long, unsigned long long, float")
  message(FATAL_ERROR "${SOURCE} failed without naming the types:\n${output}")
endif()
message(STATUS "${SOURCE}: refused, naming the supported types")
