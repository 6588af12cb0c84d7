# Sanitizer and fuzzing builds.  Included before any target is defined, so
# that the flags reach every object: the tool, the D2XX stand-in libraries it
# dlopen()s, the codec, the image tool and the tests.

option(VARNOLT_SANITIZE
       "Build everything with AddressSanitizer and UndefinedBehaviorSanitizer" OFF)
option(VARNOLT_FUZZ "Build the libFuzzer targets in fuzz/ (needs clang)" OFF)

if(VARNOLT_SANITIZE OR VARNOLT_FUZZ)
  if(NOT CMAKE_CXX_COMPILER_ID MATCHES "GNU|Clang")
    message(FATAL_ERROR "Sanitizer builds need GCC or Clang, not ${CMAKE_CXX_COMPILER_ID}")
  endif()
  # -fno-sanitize-recover=all: the first finding ends the process with a
  # failure, so a report can never scroll past in a run that passes.
  add_compile_options(-fsanitize=address,undefined -fno-omit-frame-pointer
                      -fno-sanitize-recover=all)
  add_link_options(-fsanitize=address,undefined)
endif()

if(VARNOLT_FUZZ)
  if(NOT CMAKE_CXX_COMPILER_ID STREQUAL "Clang")
    message(FATAL_ERROR "VARNOLT_FUZZ needs clang (libFuzzer): configure with "
                        "CC=clang CXX=clang++, as scripts/fuzz.sh does")
  endif()
  # Coverage feedback from every object; libFuzzer's own main() is linked
  # into the fuzz targets alone (fuzz/CMakeLists.txt).
  add_compile_options(-fsanitize=fuzzer-no-link)
endif()
