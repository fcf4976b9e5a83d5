# Included by ctest as it starts, after the end-to-end cases that GoogleTest
# found (their names in vorik_end_to_end_tests_TESTS): each case once more
# for every set of kernels the CPU runs besides the fastest, run by the
# forced-kernel tool with that set. Given FORCED_KERNEL_TOOL and
# END_TO_END_TESTS, the two programs' paths.

# Asked with the variable set, the tool would compare files instead.
unset(ENV{VORIK_TEST_KERNEL})
execute_process(COMMAND "${FORCED_KERNEL_TOOL}"
  OUTPUT_VARIABLE kernels
  RESULT_VARIABLE status
  ERROR_VARIABLE error)
if(NOT status EQUAL 0)
  # A test that fails where the tool cannot list its kernels.
  add_test(forced_kernel_tool_lists_the_kernels "${FORCED_KERNEL_TOOL}")
  return()
endif()
string(STRIP "${kernels}" kernels)
string(REPLACE "\n" ";" kernels "${kernels}")
# The first is vorik's own, which the cases above run.
list(POP_FRONT kernels)
foreach(kernel IN LISTS kernels)
  foreach(case IN LISTS vorik_end_to_end_tests_TESTS)
    set(name "${kernel}_kernels/${case}")
    add_test("${name}" "${END_TO_END_TESTS}" "--gtest_filter=${case}")
    set_tests_properties("${name}" PROPERTIES
      ENVIRONMENT "VORIK_TOOL=${FORCED_KERNEL_TOOL};VORIK_TEST_KERNEL=${kernel}"
      SKIP_REGULAR_EXPRESSION "\\[  SKIPPED \\]")
  endforeach()
endforeach()
