# Tests of a tool cross-built for Windows, run through the emulator that
# CMAKE_CROSSCOMPILING_EMULATOR names: Debian's wine64 for a 64-bit build,
# its 32-bit wine (package wine32:i386) for a 32-bit one.
#
# The unit test programs are those of CMakeLists.txt, built for the target.
# The message table test checks the console's UTF-16 texts here, against
# Windows' own code pages; its check of the two stored forms against each
# other stays native, as it rests on iconv, which MinGW lacks. The end-to-end
# harness itself is POSIX (fork, pipes, a pseudo-terminal) and cannot be
# cross-built; the natively built tool tests in VORIK_HOST_TEST_DIR run the
# cross-built tool through the emulator and expect the text as Windows
# writes it.
#
# Each test case is a ctest test of its own, found in the sources, so that a
# case skipped under the emulator shows as skipped and no other with it.

# Statically linked, so that the emulator needs no MinGW runtime DLLs.
foreach(program IN LISTS unit_test_programs)
  target_link_options(${program} PRIVATE -static)
endforeach()

set(VORIK_HOST_TEST_DIR "" CACHE PATH
  "tests folder of a native build, whose tool tests run the cross-built tool through the emulator")

if(NOT CMAKE_CROSSCOMPILING_EMULATOR)
  message(STATUS "No CMAKE_CROSSCOMPILING_EMULATOR: the tests are built but not run")
  return()
endif()
list(LENGTH CMAKE_CROSSCOMPILING_EMULATOR emulator_words)
if(NOT emulator_words EQUAL 1)
  message(FATAL_ERROR "the end-to-end harness takes an emulator without arguments")
endif()

# Wine keeps its state in a prefix: one in the build folder keeps the user's
# own out of the tests, and one of the target's word size lets a 32-bit
# build run without the 64-bit Wine. The setup test makes it and starts the
# server there.
get_filename_component(emulator_dir ${CMAKE_CROSSCOMPILING_EMULATOR} DIRECTORY)
find_program(VORIK_WINESERVER NAMES wineserver wineserver64 HINTS ${emulator_dir} /usr/lib/wine REQUIRED)
if(CMAKE_SIZEOF_VOID_P EQUAL 4)
  set(wine_architecture win32)
else()
  set(wine_architecture win64)
endif()
set(wine_environment
  WINEPREFIX=${CMAKE_CURRENT_BINARY_DIR}/wine_prefix
  WINEARCH=${wine_architecture}
  WINEDEBUG=-all)
set(WINESERVER_PERSIST_SECONDS 30)
add_test(NAME start_wine
  COMMAND ${CMAKE_COMMAND}
    -DWINE=${CMAKE_CROSSCOMPILING_EMULATOR}
    -DWINESERVER=${VORIK_WINESERVER}
    -DPERSIST_SECONDS=${WINESERVER_PERSIST_SECONDS}
    -DLOG=${CMAKE_CURRENT_BINARY_DIR}/wineboot.log
    -P ${CMAKE_CURRENT_SOURCE_DIR}/start_wine.cmake)
set_tests_properties(start_wine PROPERTIES
  ENVIRONMENT "${wine_environment}"
  FIXTURES_SETUP wine)
add_test(NAME stop_wine COMMAND ${VORIK_WINESERVER} -k)
set_tests_properties(stop_wine PROPERTIES
  ENVIRONMENT "${wine_environment}"
  FIXTURES_CLEANUP wine)

# The unit tests run under the emulator, which add_test puts before a
# cross-built target.
# A case that the sources leave out of a Windows build (one on POSIX calls)
# is found all the same; it runs no test there and shows as skipped.
gtest_add_tests(TARGET vorik_unit_tests SOURCES ${unit_test_sources} TEST_LIST unit_tests)
if(TARGET vorik_check_unit_tests)
  gtest_add_tests(TARGET vorik_check_unit_tests SOURCES ${check_unit_test_sources} TEST_LIST check_unit_tests)
  list(APPEND unit_tests ${check_unit_tests})
endif()
if(TARGET vorik_alignment_tests)
  gtest_add_tests(TARGET vorik_alignment_tests SOURCES alignment_test.cpp TEST_LIST alignment_tests)
  list(APPEND unit_tests ${alignment_tests})
endif()
set_tests_properties(${unit_tests} PROPERTIES
  ENVIRONMENT "${wine_environment}"
  FIXTURES_REQUIRED wine
  SKIP_REGULAR_EXPRESSION "${VORIK_GTEST_SKIPPED_OUTPUT};Running 0 tests from 0 test suites")

# The messages as a user sees them on a console, which Wine gives a tool on
# a pseudo-terminal, with code page 437 as outside Japan.
add_test(NAME messages_on_a_console
  COMMAND ${CMAKE_COMMAND}
    -DWINE=${CMAKE_CROSSCOMPILING_EMULATOR}
    -DTOOL=$<TARGET_FILE:vorik>
    -DFIRST=${PROJECT_SOURCE_DIR}/examples/chord.wav
    -DSECOND=${PROJECT_SOURCE_DIR}/examples/chord_noisy.wav
    -DMISSING=${CMAKE_CURRENT_BINARY_DIR}/missing.wav
    -P ${CMAKE_CURRENT_SOURCE_DIR}/wine_console_screen.cmake)
set_tests_properties(messages_on_a_console PROPERTIES
  ENVIRONMENT "${wine_environment};LC_ALL=C.UTF-8"
  FIXTURES_REQUIRED wine
  SKIP_REGULAR_EXPRESSION "Skipped: ")

if(VORIK_HOST_TEST_DIR)
  set(tool_environment
    "${wine_environment};VORIK_TOOL=$<TARGET_FILE:vorik>;VORIK_TOOL_EMULATOR=${CMAKE_CROSSCOMPILING_EMULATOR};VORIK_TOOL_LINE_END=crlf")
  # The native test programs, given by path: they run directly.
  gtest_add_tests(TARGET ${VORIK_HOST_TEST_DIR}/vorik_end_to_end_tests
    SOURCES end_to_end_test.cpp TEST_LIST end_to_end_tests)
  gtest_add_tests(TARGET ${VORIK_HOST_TEST_DIR}/vorik_large_file_test
    SOURCES large_file_test.cpp TEST_LIST large_file_tests)
  set_tests_properties(${end_to_end_tests} ${large_file_tests} PROPERTIES
    ENVIRONMENT "${tool_environment}"
    FIXTURES_REQUIRED wine
    SKIP_REGULAR_EXPRESSION "${VORIK_GTEST_SKIPPED_OUTPUT}")
  set_tests_properties(${large_file_tests} PROPERTIES LABELS large)
  if(TARGET vorik-check)
    gtest_add_tests(TARGET ${VORIK_HOST_TEST_DIR}/vorik_check_end_to_end_tests
      SOURCES check_end_to_end_test.cpp TEST_LIST check_end_to_end_tests)
    set_tests_properties(${check_end_to_end_tests} PROPERTIES
      ENVIRONMENT "${tool_environment};VORIK_CHECK_TOOL=$<TARGET_FILE:vorik-check>"
      FIXTURES_REQUIRED wine
      SKIP_REGULAR_EXPRESSION "${VORIK_GTEST_SKIPPED_OUTPUT}")
  endif()
else()
  message(STATUS "No VORIK_HOST_TEST_DIR: the end-to-end and large-file tests are left out")
endif()
