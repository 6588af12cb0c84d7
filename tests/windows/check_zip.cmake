# cmake -DCPACK=<cpack> -DBUILD_DIR=<i686 build> -DVERSION=<project version>
#       -DOBJDUMP=<i686 objdump> -DREADME_MD=<README.md> -P check_zip.cmake
# Makes the Windows zip with `cpack -G ZIP` in the i686 build and checks it:
# varnolt.exe, README.txt and LICENSE.txt in one folder, nothing else (above
# all no FTD2XX.dll: the emulator beside the tool would stand in for the
# driver's); the packed varnolt.exe still passes check_pe.cmake (included,
# so FILE, KIND and ARCH are set for it); README.txt
# is plain ASCII text with Windows line ends, names the D2XX driver and
# FTD2XX.dll, and lists every message and exit status of README.md's table.
# The zip stays unpacked in BUILD_DIR/shipped: the 32-bit Wine tests run the
# varnolt.exe found there.
cmake_minimum_required(VERSION 3.25)

macro(fail text)
  string(APPEND errors "  ${text}\n")
endmacro()

execute_process(COMMAND ${CPACK} -G ZIP WORKING_DIRECTORY ${BUILD_DIR}
                RESULT_VARIABLE status OUTPUT_VARIABLE output ERROR_VARIABLE output)
set(name varnolt-${VERSION}-win32)
set(zip ${BUILD_DIR}/${name}.zip)
if(NOT status EQUAL 0 OR NOT EXISTS ${zip})
  message(FATAL_ERROR "cpack -G ZIP did not make ${zip}:\n${output}")
endif()

set(shipped ${BUILD_DIR}/shipped)
file(REMOVE_RECURSE ${shipped})
file(ARCHIVE_EXTRACT INPUT ${zip} DESTINATION ${shipped})
file(GLOB_RECURSE files LIST_DIRECTORIES false RELATIVE ${shipped} ${shipped}/*)
list(SORT files)
set(expected ${name}/LICENSE.txt ${name}/README.txt ${name}/varnolt.exe)
if(NOT files STREQUAL expected)
  message(FATAL_ERROR "${zip} holds '${files}', expected '${expected}'")
endif()

foreach(text README LICENSE)
  # Every line ends in CR LF; nothing but printable ASCII and tabs.
  # One byte a word ("0d 0a " is a line end, never a byte boundary's
  # neighbours), then any byte left outside tab and 0x20..0x7E.
  file(READ ${shipped}/${name}/${text}.txt bytes HEX)
  string(REGEX REPLACE "(..)" "\\1 " bytes "${bytes}")
  string(REPLACE "0d 0a " "" rest " ${bytes}")
  if(NOT bytes MATCHES "0d 0a $")
    fail("${text}.txt does not end in CR LF")
  elseif(rest MATCHES " (0[0-8a-f]|1[0-9a-f]|7f|[89a-f][0-9a-f]) ")
    fail("${text}.txt holds byte 0x${CMAKE_MATCH_1}: a bare line end or not plain ASCII")
  endif()
endforeach()

# file(READ) drops the CRs checked above: lines end in "\n" from here on.
file(READ ${shipped}/${name}/README.txt readme)
foreach(needed "D2XX" "FTD2XX.dll" "%ERRORLEVEL%")
  string(FIND "${readme}" "${needed}" at)
  if(at EQUAL -1)
    fail("README.txt does not mention ${needed}")
  endif()
endforeach()
# README.md's table rows: | situation | `message` ... | status |.  Each
# message appears in README.txt on a line of its own behind its status, the
# library under its Windows name.
file(STRINGS ${README_MD} rows REGEX "^\\| [^|]+ \\| `[^`]+`[^|]*\\| -?[0-9]+ \\|$")
if(NOT rows)
  fail("no messages table in ${README_MD}")
endif()
foreach(row IN LISTS rows)
  string(REGEX REPLACE "^\\| [^|]+ \\| `([^`]+)`[^|]*\\| (-?[0-9]+) \\|$" "\\2;\\1" entry "${row}")
  list(GET entry 0 code)
  list(GET entry 1 message)
  string(REPLACE "libftd2xx.so" "FTD2XX.dll" message "${message}")
  string(FIND "${readme}" "\n${code}      ${message}\n" at)
  string(FIND "${readme}" "\n ${code}      ${message}\n" at_padded)
  if(at EQUAL -1 AND at_padded EQUAL -1)
    fail("README.txt lacks the line '${code}      ${message}'")
  endif()
endforeach()

message(STATUS "${zip}: ${files}")
# The packed varnolt.exe passes the PE check too, which then fails on the
# errors of both.
set(FILE ${shipped}/${name}/varnolt.exe)
set(KIND exe)
set(ARCH i686)
include(${CMAKE_CURRENT_LIST_DIR}/check_pe.cmake)
