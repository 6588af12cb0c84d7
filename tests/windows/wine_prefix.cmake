# cmake -DACTION=setup|cleanup -DWINE=<wine64 loader> -DWINESERVER=<wineserver>
#       -DPREFIX=<throwaway WINEPREFIX> -P wine_prefix.cmake
# The fixture around the Wine test entries.  setup makes a fresh prefix
# (wineboot, seconds, once per test run) and keeps a wineserver running so
# that each later start of a Windows program takes a fraction of a second;
# cleanup stops the server and removes the prefix.
cmake_minimum_required(VERSION 3.25)

set(ENV{WINEPREFIX} ${PREFIX})
set(ENV{WINEDEBUG} -all)
# No Mono or Gecko installer prompts: console programs need neither.
set(ENV{WINEDLLOVERRIDES} "mscoree,mshtml=")

# A server an interrupted run may have left on this prefix.
if(EXISTS ${PREFIX})
  execute_process(COMMAND ${WINESERVER} -k OUTPUT_QUIET ERROR_QUIET)
endif()
file(REMOVE_RECURSE ${PREFIX})

if(ACTION STREQUAL "setup")
  file(MAKE_DIRECTORY ${PREFIX})
  # The server and the Wine services that wineboot starts outlive this
  # script: their output goes to a file, never to a pipe that CTest would
  # wait on until they end.
  set(log ${PREFIX}/setup.log)
  # Persistent for a minute after the last Wine process, so that a run cut
  # short before its cleanup leaves no server behind for long.
  execute_process(COMMAND ${WINESERVER} -p60 RESULT_VARIABLE status
                  INPUT_FILE /dev/null OUTPUT_FILE ${log} ERROR_FILE ${log})
  if(status EQUAL 0)
    execute_process(COMMAND ${WINE} wineboot --init RESULT_VARIABLE status
                    INPUT_FILE /dev/null OUTPUT_FILE ${log} ERROR_FILE ${log})
  endif()
  if(NOT status EQUAL 0)
    file(READ ${log} output)
    message(FATAL_ERROR "Wine prefix setup failed (${status}):\n${output}")
  endif()
elseif(NOT ACTION STREQUAL "cleanup")
  message(FATAL_ERROR "ACTION must be setup or cleanup")
endif()
