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
