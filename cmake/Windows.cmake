# The Windows build (a MinGW-w64 cross build from cmake/toolchains/, or a
# native MinGW one): a console varnolt.exe that needs nothing beyond the
# system DLLs and the D2XX driver's FTD2XX.dll, which it loads at run time.
# Included from the top level before any target is made.

enable_language(RC)

if(MINGW)
  # The C and C++ runtimes linked in (libstdc++, libgcc and, with the posix
  # thread model, winpthread): no libstdc++-6.dll, libgcc_s_*.dll or
  # libwinpthread-1.dll has to travel with the programs or the emulator DLL.
  add_link_options(-static -static-libgcc -static-libstdc++)
endif()

# varnolt_windows_executable(<target>): the manifest and version resources
# on the tool, its install rules and the zip package (`cpack -G ZIP`).
function(varnolt_windows_executable target)
  # VERSIONINFO wants four numbers.
  set(numbers "")
  foreach(part MAJOR MINOR PATCH TWEAK)
    if("${PROJECT_VERSION_${part}}" STREQUAL "")
      list(APPEND numbers 0)
    else()
      list(APPEND numbers ${PROJECT_VERSION_${part}})
    endif()
  endforeach()
  list(JOIN numbers "," VARNOLT_VERSION_COMMAS)
  set(VARNOLT_MANIFEST_PATH "${PROJECT_SOURCE_DIR}/windows/varnolt.manifest")
  configure_file(${PROJECT_SOURCE_DIR}/windows/varnolt.rc.in
                 ${PROJECT_BINARY_DIR}/windows/varnolt.rc @ONLY)
  target_sources(${target} PRIVATE ${PROJECT_BINARY_DIR}/windows/varnolt.rc)
  # windres reads the manifest: relink when it changes.
  set_source_files_properties(${PROJECT_BINARY_DIR}/windows/varnolt.rc PROPERTIES
    OBJECT_DEPENDS ${VARNOLT_MANIFEST_PATH})

  # The package holds the tool, its README and licence, nothing else: the
  # emulator's FTD2XX.dll beside varnolt.exe would stand in for the driver's.
  # README and licence as plain text with Windows line ends, which any
  # Windows editor shows as they are.
  install(TARGETS ${target} RUNTIME DESTINATION .)
  configure_file(${PROJECT_SOURCE_DIR}/windows/README.txt.in
                 ${PROJECT_BINARY_DIR}/windows/README.txt @ONLY NEWLINE_STYLE CRLF)
  file(READ ${PROJECT_SOURCE_DIR}/LICENSE license)
  file(CONFIGURE OUTPUT ${PROJECT_BINARY_DIR}/windows/LICENSE.txt CONTENT "${license}" @ONLY
       NEWLINE_STYLE CRLF)
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/LICENSE)
  install(FILES ${PROJECT_BINARY_DIR}/windows/README.txt ${PROJECT_BINARY_DIR}/windows/LICENSE.txt
          DESTINATION .)
  set(CPACK_GENERATOR ZIP PARENT_SCOPE)
  set(CPACK_PACKAGE_NAME varnolt PARENT_SCOPE)
  set(CPACK_PACKAGE_VENDOR "the varnolt developers" PARENT_SCOPE)
  set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE PARENT_SCOPE)
  set(CPACK_STRIP_FILES ON PARENT_SCOPE)
endfunction()
