# Installs the build into a fresh prefix, checks the installed layout, runs
# the installed tool once, then configures, builds and runs a small consumer
# project against the installed package, found through its CMake package and
# found through pkg-config, and checks that the library gives the tool's
# figures in both.
#
# Expects BUILD_DIR, CONFIG, WORK_DIR, CONSUMER_SOURCE, README_EXAMPLE (the
# README's C++ example, which the consumer compiles), EXAMPLES_DIR,
# GENERATOR, CXX_COMPILER, LIBDIR and EXECUTABLE_SUFFIX; CONSUMER_FLAGS, if given, are
# compiled and linked into the consumer (a sanitized library needs them),
# TOOLCHAIN_FILE, if given, is the consumer's as well as the library's, and
# PKG_CONFIG is the pkg-config program (without one, the consumer is built
# through the CMake package only).
set(prefix "${WORK_DIR}/prefix")
file(REMOVE_RECURSE "${WORK_DIR}")

function(run_step what)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE status OUTPUT_VARIABLE out ERROR_VARIABLE err)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "${what} failed (${status}):\n${out}\n${err}")
  endif()
  set(step_output "${out}" PARENT_SCOPE)
endfunction()

run_step("cmake --install" "${CMAKE_COMMAND}" --install "${BUILD_DIR}" --prefix "${prefix}" --config "${CONFIG}")

foreach(path
    bin/vorik${EXECUTABLE_SUFFIX}
    share/man/man1/vorik.1
    include/vorik/vorik.h
    include/vorik/version.h
    include/vorik/detail/reading.h
    ${LIBDIR}/libvorik.a
    ${LIBDIR}/cmake/vorik/vorik-config.cmake
    ${LIBDIR}/cmake/vorik/vorik-config-version.cmake
    ${LIBDIR}/cmake/vorik/vorik-targets.cmake
    ${LIBDIR}/pkgconfig/vorik.pc)
  if(NOT EXISTS "${prefix}/${path}")
    message(FATAL_ERROR "not installed: ${path}")
  endif()
endforeach()
# Only the public headers: the library's own parts and the tools' stay out.
# The delay search's header comes with its archive, where that is built.
file(GLOB installed_headers RELATIVE "${prefix}/include/vorik" "${prefix}/include/vorik/*")
list(SORT installed_headers)
# The records' reading, which callers do not use, lies in detail/.
set(public_headers
  channel_differences.h channel_measurement.h detail measurement.h psnr_meter.h version.h vorik.h wave_format.h
  wave_header.h)
if(WITH_ALIGNMENT)
  list(APPEND public_headers alignment.h)
  foreach(path ${LIBDIR}/libvorik-alignment.a ${LIBDIR}/pkgconfig/vorik-alignment.pc)
    if(NOT EXISTS "${prefix}/${path}")
      message(FATAL_ERROR "not installed: ${path}")
    endif()
  endforeach()
endif()
list(SORT public_headers)
if(NOT installed_headers STREQUAL public_headers)
  message(FATAL_ERROR "installed headers: ${installed_headers}, expected ${public_headers}")
endif()

# The installed vorik-check, where it is built, answers --version.
if(WITH_CHECK)
  execute_process(COMMAND "${prefix}/bin/vorik-check${EXECUTABLE_SUFFIX}" --version
    RESULT_VARIABLE version_status OUTPUT_VARIABLE version_out ERROR_QUIET)
  if(NOT version_status EQUAL 0 OR NOT version_out MATCHES "^vorik-check version ")
    message(FATAL_ERROR "installed vorik-check --version exited with ${version_status}: ${version_out}")
  endif()
  if(NOT EXISTS "${prefix}/share/man/man1/vorik-check.1")
    message(FATAL_ERROR "not installed: share/man/man1/vorik-check.1")
  endif()
endif()

# The installed tool runs on its own: with no arguments it gives usage status 255.
execute_process(COMMAND "${prefix}/bin/vorik${EXECUTABLE_SUFFIX}" INPUT_FILE /dev/null
  RESULT_VARIABLE usage_status OUTPUT_QUIET ERROR_QUIET)
if(NOT usage_status EQUAL 255)
  message(FATAL_ERROR "installed vorik without arguments exited with ${usage_status}")
endif()

# The consumer, found `way`, built in `build`: ENVIRONMENT and OPTIONS are
# added to its configuring. Only the fresh prefix may provide the package,
# never a copy installed on the system. The flags go through the environment,
# so that a toolchain file's own add to them.
set(consumers "")
function(build_consumer way build)
  cmake_parse_arguments(PARSE_ARGV 2 consumer "" "" "ENVIRONMENT;OPTIONS")
  run_step("configuring the consumer (${way})"
    "${CMAKE_COMMAND}" -E env "CXXFLAGS=${CONSUMER_FLAGS}" "LDFLAGS=${CONSUMER_FLAGS}" ${consumer_ENVIRONMENT}
    "${CMAKE_COMMAND}" -S "${CONSUMER_SOURCE}" -B "${build}" ${consumer_OPTIONS}
    "-DVORIK_README_EXAMPLE=${README_EXAMPLE}"
    -G "${GENERATOR}" "-DCMAKE_CXX_COMPILER=${CXX_COMPILER}" "-DCMAKE_BUILD_TYPE=${CONFIG}"
    "-DCMAKE_TOOLCHAIN_FILE=${TOOLCHAIN_FILE}"
    -DCMAKE_FIND_USE_CMAKE_SYSTEM_PATH=OFF -DCMAKE_FIND_USE_PACKAGE_REGISTRY=OFF)
  run_step("building the consumer (${way})" "${CMAKE_COMMAND}" --build "${build}" --config "${CONFIG}")
  run_step("running the consumer (${way})" "${build}/vorik_package_consumer${EXECUTABLE_SUFFIX}")
  message(STATUS "consumer found through ${way}: ${step_output}")
  set(consumers ${consumers} "${way}|${build}/vorik_package_consumer${EXECUTABLE_SUFFIX}" PARENT_SCOPE)
endfunction()

build_consumer("its CMake package" "${WORK_DIR}/consumer" OPTIONS "-DCMAKE_PREFIX_PATH=${prefix}")
if(PKG_CONFIG)
  # pkg-config searches the fresh prefix alone.
  build_consumer("pkg-config" "${WORK_DIR}/consumer_pkg_config"
    ENVIRONMENT "PKG_CONFIG_LIBDIR=${prefix}/${LIBDIR}/pkgconfig" --unset=PKG_CONFIG_PATH
    OPTIONS -DVORIK_CONSUMER_USES_PKG_CONFIG=ON "-DPKG_CONFIG_EXECUTABLE=${PKG_CONFIG}")
else()
  message(STATUS "no pkg-config: the consumer is built through the CMake package only")
endif()

# The README's example gives the tool's last line and says how the run
# ended: on the example files; on both cut inside their second second, whose
# partial block both measure; on the second alone cut there, where both leave
# that second out; and on a pair the tool refuses, a stereo file against the
# same header saying mono.
set(cut_bytes 177444)  # the header, one second of 44.1 kHz stereo and 500 bytes
foreach(example chord chord_noisy)
  execute_process(COMMAND head -c ${cut_bytes} "${EXAMPLES_DIR}/${example}.wav"
    OUTPUT_FILE "${WORK_DIR}/${example}_cut.wav" RESULT_VARIABLE cut_status)
  if(NOT cut_status EQUAL 0)
    message(FATAL_ERROR "cannot cut ${example}.wav")
  endif()
endforeach()
# Bytes 22 and 23 hold the channel count: 1, little-endian.
execute_process(COMMAND sh -c "head -c 22 \"$1\" && printf '\\001\\000' && tail -c +25 \"$1\"" mono
  "${EXAMPLES_DIR}/chord_noisy.wav" OUTPUT_FILE "${WORK_DIR}/mono.wav" RESULT_VARIABLE mono_status)
if(NOT mono_status EQUAL 0)
  message(FATAL_ERROR "cannot write a mono header")
endif()
set(pairs
  "${EXAMPLES_DIR}/chord.wav|${EXAMPLES_DIR}/chord_noisy.wav|finished"
  "${WORK_DIR}/chord_cut.wav|${WORK_DIR}/chord_noisy_cut.wav|finished"
  "${EXAMPLES_DIR}/chord.wav|${WORK_DIR}/chord_noisy_cut.wav|stopped: the files end in different places of one second"
  "${EXAMPLES_DIR}/chord.wav|${WORK_DIR}/mono.wav|refused: the channel counts differ")
foreach(pair ${pairs})
  string(REPLACE "|" ";" pair "${pair}")
  list(GET pair 0 1 files)
  list(GET pair 2 ending)
  execute_process(COMMAND "${prefix}/bin/vorik${EXECUTABLE_SUFFIX}" ${files} INPUT_FILE /dev/null
    OUTPUT_VARIABLE tool_out RESULT_VARIABLE tool_status ERROR_QUIET)
  # The tool's last progress line, if it printed one.
  set(expected "${ending}\n")
  string(REGEX MATCH "[^\r]*\r$" tool_line "${tool_out}")
  if(tool_line)
    string(REPLACE "\r" "" tool_line "${tool_line}")
    set(expected "${tool_line}, ${expected}")
  endif()
  message(STATUS "${files}\n  tool (exit ${tool_status}): ${tool_line}")
  foreach(consumer ${consumers})
    string(REPLACE "|" ";" consumer "${consumer}")
    list(GET consumer 0 way)
    list(GET consumer 1 program)
    run_step("the consumer (${way}) on ${files}" "${program}" ${files})
    message(STATUS "  the README's example, found through ${way}: ${step_output}")
    if(NOT step_output STREQUAL expected)
      message(FATAL_ERROR "the README's example, found through ${way}, gave `${step_output}` where `${expected}` was expected")
    endif()
  endforeach()
endforeach()
