# Tests of a tool cross-built for Windows, run through the emulator that
# CMAKE_CROSSCOMPILING_EMULATOR names (Debian's wine64).
#
# The unit tests are built for the target and linked statically, so the
# emulator needs no MinGW runtime DLLs. The message table test stays native:
# it rests on iconv, which MinGW lacks. The end-to-end harness itself is POSIX
# (fork, pipes, a pseudo-terminal) and cannot be cross-built; the natively
# built tool tests in VORIK_HOST_TEST_DIR run the cross-built tool through the
# emulator and expect the text as Windows writes it.

# GoogleTest is not packaged for MinGW, but Debian's libgtest-dev ships its
# sources, which build with the cross compiler.
set(VORIK_GOOGLETEST_SOURCE /usr/src/googletest CACHE PATH "GoogleTest sources for cross builds")
set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
add_subdirectory(${VORIK_GOOGLETEST_SOURCE} ${CMAKE_CURRENT_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)

add_executable(vorik_unit_tests
  wave_header_test.cpp
  psnr_meter_test.cpp
  block_reader_test.cpp
  scratch_stream.cpp)
target_link_libraries(vorik_unit_tests PRIVATE vorik_core vorik_warnings gtest_main)
target_link_options(vorik_unit_tests PRIVATE -static)

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
# own out of the tests. The setup test makes it and starts the server there.
get_filename_component(emulator_dir ${CMAKE_CROSSCOMPILING_EMULATOR} DIRECTORY)
find_program(VORIK_WINESERVER NAMES wineserver wineserver64 HINTS ${emulator_dir} /usr/lib/wine REQUIRED)
set(wine_environment
  WINEPREFIX=${CMAKE_CURRENT_BINARY_DIR}/wine_prefix
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

add_test(NAME vorik_unit_tests COMMAND vorik_unit_tests)
set_tests_properties(vorik_unit_tests PROPERTIES
  ENVIRONMENT "${wine_environment}"
  FIXTURES_REQUIRED wine)

if(VORIK_HOST_TEST_DIR)
  set(tool_environment
    "${wine_environment};VORIK_TOOL=$<TARGET_FILE:vorik>;VORIK_TOOL_EMULATOR=${CMAKE_CROSSCOMPILING_EMULATOR};VORIK_TOOL_LINE_END=crlf")
  add_test(NAME vorik_end_to_end_tests COMMAND ${VORIK_HOST_TEST_DIR}/vorik_end_to_end_tests)
  add_test(NAME large_files_past_2_to_the_32_pairs COMMAND ${VORIK_HOST_TEST_DIR}/vorik_large_file_test)
  set_tests_properties(vorik_end_to_end_tests large_files_past_2_to_the_32_pairs PROPERTIES
    ENVIRONMENT "${tool_environment}"
    FIXTURES_REQUIRED wine)
  set_tests_properties(large_files_past_2_to_the_32_pairs PROPERTIES LABELS large)
else()
  message(STATUS "No VORIK_HOST_TEST_DIR: the end-to-end and large-file tests are left out")
endif()
