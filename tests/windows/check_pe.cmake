# cmake -DOBJDUMP=<tool> -DFILE=<file> -DKIND=exe|dll -DARCH=i686|x86_64
#       -DVERSION=<project version> -P check_pe.cmake
# Reads a Windows program's PE headers with objdump -p and fails unless they
# are what the Windows build promises:
#   both   PE32 for i686 / PE32+ for x86_64; imports from Windows system DLLs
#          only (the C and C++ runtimes are linked in, FTD2XX.dll is loaded at
#          run time, never imported)
#   exe    console subsystem; the manifest (asInvoker, no uiAccess) and the
#          version resource carrying VERSION
#   dll    exactly the five D2XX names, undecorated; for i686 also __stdcall
#          with the vendor's argument sizes, as its 32-bit FTD2XX.dll has them
cmake_minimum_required(VERSION 3.25)

# errors may already hold those of check_zip.cmake, which includes this.
macro(fail text)
  string(APPEND errors "  ${text}\n")
endmacro()

execute_process(COMMAND ${OBJDUMP} -p ${FILE} OUTPUT_VARIABLE headers COMMAND_ERROR_IS_FATAL ANY)

if(ARCH STREQUAL "i686")
  set(format pei-i386)
  set(magic "010b\t\\(PE32\\)")
else()
  set(format pei-x86-64)
  set(magic "020b\t\\(PE32\\+\\)")
endif()
if(NOT headers MATCHES "file format ${format}\n" OR NOT headers MATCHES "\nMagic\t+${magic}")
  fail("not ${format} with the optional header magic ${magic}")
endif()

# Imports: system DLLs only.  KERNEL32 and msvcrt are what MinGW-w64 uses;
# the others are harmless should a later change need them.
string(REGEX MATCHALL "DLL Name: [^\n]+" imports "${headers}")
list(TRANSFORM imports REPLACE "DLL Name: " "")
list(TRANSFORM imports TOLOWER)
set(foreign ${imports})
list(FILTER foreign EXCLUDE REGEX "^(kernel32|user32|advapi32|gdi32|shell32|ole32|oleaut32|ntdll|msvcrt|ucrtbase|api-ms-win-[a-z0-9-]+)\\.dll$")
if(NOT imports)
  fail("no import table")
elseif(foreign)
  fail("imports ${foreign}: not Windows system DLLs")
endif()

if(KIND STREQUAL "exe")
  if(NOT headers MATCHES "\nSubsystem\t+00000003\t")
    fail("subsystem is not 3 (console)")
  endif()
  # The resource directory's first level lists the types (three spaces of
  # indent; names and languages are indented further): 0x18 RT_MANIFEST,
  # 0x10 RT_VERSION.
  foreach(type 000018 000010)
    if(NOT headers MATCHES "\n[0-9a-f]+   Entry: ID: 0x${type},")
      fail("no resource of type 0x${type}")
    endif()
  endforeach()
  # The manifest's text is stored as it is.
  file(STRINGS ${FILE} levels REGEX "<requestedExecutionLevel")
  if(NOT levels MATCHES "level=\"asInvoker\"" OR NOT levels MATCHES "uiAccess=\"false\"")
    fail("the manifest does not ask for asInvoker without uiAccess: '${levels}'")
  endif()
  # Version strings are UTF-16LE: "ProductVersion", NUL, padding, VERSION.
  # Written here as hex with a tab (0x09, in no key or version) for the gap.
  file(READ ${FILE} bytes HEX)
  foreach(key FileVersion ProductVersion)
    string(HEX "${key}\t${VERSION}" entry)
    string(REGEX REPLACE "(..)" "\\100" entry "${entry}")
    string(REPLACE "0900" "0000(0000)?" entry "${entry}")
    if(NOT bytes MATCHES "${entry}0000")
      fail("no ${key} ${VERSION} in the version resource")
    endif()
  endforeach()
elseif(KIND STREQUAL "dll")
  string(REGEX MATCHALL "\n\t\\[ *[0-9]+\\] [^\n]+" names "${headers}")
  list(TRANSFORM names REPLACE "^\n\t\\[ *[0-9]+\\] " "")
  list(FILTER names EXCLUDE REGEX "Export RVA")
  list(SORT names)
  set(expected FT_EE_Program FT_EE_Read FT_ListDevices FT_W32_CloseHandle FT_W32_CreateFile)
  if(NOT names STREQUAL expected)
    fail("exports '${names}', expected '${expected}'")
  endif()
  # The 32-bit D2XX entry points are __stdcall (the callee pops its
  # arguments): a caller built for them crashes or corrupts its stack on a
  # cdecl function.  The symbol table keeps the decorated names that
  # --kill-at removed from the exports: _name@bytes of arguments.
  if(ARCH STREQUAL "i686")
    execute_process(COMMAND ${OBJDUMP} -t ${FILE} OUTPUT_VARIABLE symbols RESULT_VARIABLE status)
    foreach(entry FT_ListDevices@12 FT_W32_CreateFile@28 FT_EE_Read@8 FT_EE_Program@8
                  FT_W32_CloseHandle@4)
      if(NOT status EQUAL 0 OR NOT symbols MATCHES " _${entry}\n")
        fail("no __stdcall _${entry} in the symbol table")
      endif()
    endforeach()
  endif()
endif()

if(errors)
  message(FATAL_ERROR "${FILE}:\n${errors}")
endif()
message(STATUS "${FILE}: ${format}, imports ${imports}")
