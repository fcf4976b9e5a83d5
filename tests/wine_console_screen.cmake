# Runs the Windows tool under Wine on a pseudo-terminal, where Wine gives it
# a console, and looks on the screen for the finished message after the last
# progress line and for the message on a file that cannot be opened. Wine
# shows the console in the terminal's encoding: the locale must be UTF-8.
#
# Expects WINE, TOOL (vorik.exe), FIRST and SECOND (two WAV files of one
# format), MISSING (a path that does not exist) and Wine's environment.

find_program(SCRIPT script)
if(NOT SCRIPT)
  message("Skipped: no script (util-linux) to run the tool on a pseudo-terminal")
  return()
endif()

set(FINISHED_STATUS 0)
set(FAILURE_STATUS 1)
set(SECONDS_TO_WAIT 60)
string(ASCII 27 ESCAPE)

# The screen's text after a run on two paths, without the control sequences
# of Wine's console (it moves the cursor over blanks and hides it while it
# draws), and the exit status. The paths reach the shell that script starts
# through the environment, where no quoting can go wrong. The tool's stdin is
# /dev/null, so that its closing pause returns at once.
set(ENV{VORIK_WINE} "${WINE}")
set(ENV{VORIK_EXE} "${TOOL}")
function(run_on_screen first second screen status)
  set(ENV{VORIK_FIRST} "${first}")
  set(ENV{VORIK_SECOND} "${second}")
  execute_process(
    COMMAND "${SCRIPT}" --return --quiet
      --command [["$VORIK_WINE" "$VORIK_EXE" "$VORIK_FIRST" "$VORIK_SECOND" < /dev/null]] /dev/null
    INPUT_FILE /dev/null
    OUTPUT_VARIABLE output
    ERROR_VARIABLE output
    RESULT_VARIABLE result
    TIMEOUT ${SECONDS_TO_WAIT})
  string(REGEX REPLACE "${ESCAPE}\\[[0-9;?]*[A-Za-z]" "" output "${output}")
  set(${screen} "${output}" PARENT_SCOPE)
  set(${status} "${result}" PARENT_SCOPE)
endfunction()

set(failures)
run_on_screen("${FIRST}" "${SECOND}" screen status)
string(FIND "${screen}" "計算終了。" finished_at)
string(FIND "${screen}" "dB" last_line_at REVERSE)
if(NOT "${status}" STREQUAL "${FINISHED_STATUS}" OR last_line_at EQUAL -1 OR finished_at LESS last_line_at)
  string(APPEND failures "a finished run (status ${status}) shows no 計算終了。 after its last progress line:\n${screen}\n")
endif()
run_on_screen("${MISSING}" "${SECOND}" screen status)
string(FIND "${screen}" "ファイルと開けません" open_failed_at)
if(NOT "${status}" STREQUAL "${FAILURE_STATUS}" OR open_failed_at EQUAL -1)
  string(APPEND failures "a run on a missing file (status ${status}) shows no ファイルと開けません:\n${screen}\n")
endif()
if(failures)
  message(FATAL_ERROR "${failures}")
endif()
