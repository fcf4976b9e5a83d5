# Runs the example generator into a fresh folder and compares its files with
# the ones shipped in examples/.
file(REMOVE_RECURSE "${WORK_DIR}")
file(MAKE_DIRECTORY "${WORK_DIR}")
execute_process(COMMAND "${GENERATOR}" "${WORK_DIR}" RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "the example generator failed: ${status}")
endif()
foreach(name chord.wav chord_noisy.wav)
  execute_process(COMMAND "${CMAKE_COMMAND}" -E compare_files
    "${WORK_DIR}/${name}" "${EXAMPLES_DIR}/${name}" RESULT_VARIABLE differ)
  if(NOT differ EQUAL 0)
    message(FATAL_ERROR "examples/${name} differs from what the generator writes")
  endif()
endforeach()

# A length with a fraction is rounded to the nearest sample: half a second is
# 22,050 frames of 4 bytes behind the 44-byte header.
file(REMOVE_RECURSE "${WORK_DIR}")
file(MAKE_DIRECTORY "${WORK_DIR}")
execute_process(COMMAND "${GENERATOR}" "${WORK_DIR}" 0.5 RESULT_VARIABLE status)
foreach(name chord.wav chord_noisy.wav)
  file(SIZE "${WORK_DIR}/${name}" size)
  if(NOT status EQUAL 0 OR NOT size EQUAL 88244)
    message(FATAL_ERROR "half a second: status ${status}, ${name} of ${size} bytes, not 88244")
  endif()
endforeach()
# What is no length, or no mode, is refused with a message rather than
# taken for something else.
foreach(arguments "10,5" "abc" "0" "-3" "2;chord")
  execute_process(COMMAND "${GENERATOR}" "${WORK_DIR}" ${arguments}
    RESULT_VARIABLE status ERROR_VARIABLE message)
  if(status EQUAL 0 OR NOT message MATCHES "^make_examples: ")
    message(FATAL_ERROR "make_examples ${arguments}: status ${status}, message \"${message}\"")
  endif()
endforeach()
