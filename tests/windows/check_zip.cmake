# cmake -DCPACK=<cpack> -DBUILD_DIR=<i686 build> -DVERSION=<project version>
#       -DOBJDUMP=<i686 objdump> -P check_zip.cmake
# Makes the Windows zip with `cpack -G ZIP` in the i686 build and checks it:
# varnolt.exe, README.md and LICENSE in one folder, nothing else (above all
# no FTD2XX.dll: the emulator beside the tool would stand in for the
# driver's), and the packed varnolt.exe still passes check_pe.cmake.
cmake_minimum_required(VERSION 3.25)

execute_process(COMMAND ${CPACK} -G ZIP WORKING_DIRECTORY ${BUILD_DIR}
                RESULT_VARIABLE status OUTPUT_VARIABLE output ERROR_VARIABLE output)
set(name varnolt-${VERSION}-win32)
set(zip ${BUILD_DIR}/${name}.zip)
if(NOT status EQUAL 0 OR NOT EXISTS ${zip})
  message(FATAL_ERROR "cpack -G ZIP did not make ${zip}:\n${output}")
endif()

set(scratch ${BUILD_DIR}/zip-check)
file(REMOVE_RECURSE ${scratch})
file(MAKE_DIRECTORY ${scratch})
file(ARCHIVE_EXTRACT INPUT ${zip} DESTINATION ${scratch})
file(GLOB_RECURSE files LIST_DIRECTORIES false RELATIVE ${scratch} ${scratch}/*)
list(SORT files)
set(expected ${name}/LICENSE ${name}/README.md ${name}/varnolt.exe)
if(NOT files STREQUAL expected)
  message(FATAL_ERROR "${zip} holds '${files}', expected '${expected}'")
endif()

execute_process(COMMAND ${CMAKE_COMMAND} -DOBJDUMP=${OBJDUMP} -DFILE=${scratch}/${name}/varnolt.exe
                        -DKIND=exe -DARCH=i686 -DVERSION=${VERSION}
                        -P ${CMAKE_CURRENT_LIST_DIR}/check_pe.cmake
                RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "the packed varnolt.exe fails its PE check")
endif()
file(REMOVE_RECURSE ${scratch})
message(STATUS "${zip}: ${files}")
