# Makes the Wine prefix the cross-build tests run in and leaves a wine server
# running for them.
#
# Without a running server every run of the tool starts one, and the server
# and Wine's helper processes inherit the run's standard output and error:
# the harness then sees the end of the output only when they exit, seconds
# later. Started here, with its streams on files, the server is shared by all
# runs. It stops by itself PERSIST_SECONDS after the last one, or when the
# cleanup test stops it.
#
# Expects WINE, WINESERVER, PERSIST_SECONDS and LOG (the file that takes the
# output of making the prefix), and WINEPREFIX in the environment.
# The server runs in the prefix folder, so that comes first. A server left
# running by an interrupted run would refuse a second one: it is stopped.
file(MAKE_DIRECTORY "$ENV{WINEPREFIX}")
execute_process(COMMAND "${WINESERVER}" -k
  INPUT_FILE /dev/null OUTPUT_FILE /dev/null ERROR_FILE /dev/null)
execute_process(COMMAND "${WINESERVER}" -p${PERSIST_SECONDS}
  INPUT_FILE /dev/null OUTPUT_FILE /dev/null ERROR_FILE /dev/null
  RESULT_VARIABLE server_status)
if(NOT server_status EQUAL 0)
  message(FATAL_ERROR "${WINESERVER} -p${PERSIST_SECONDS} failed: ${server_status}")
endif()
execute_process(COMMAND "${WINE}" wineboot --init
  INPUT_FILE /dev/null OUTPUT_FILE "${LOG}" ERROR_FILE "${LOG}"
  RESULT_VARIABLE boot_status)
if(NOT boot_status EQUAL 0)
  file(READ "${LOG}" boot_log)
  message(FATAL_ERROR "wineboot --init failed (${boot_status}):\n${boot_log}")
endif()
