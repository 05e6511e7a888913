# The download: `cpack` in a build folder writes velmor-<version>-<system>-x86_64 as a zip
# (Windows) or a .tar.gz (Linux), one folder holding velmor (and on Linux velmor-headless), the
# four shader files they read from their working folder, the licence and a README.
# scripts/package builds both.
install(TARGETS velmor RUNTIME DESTINATION .)
if(TARGET velmor-headless)
  install(TARGETS velmor-headless RUNTIME DESTINATION .)
endif()
list(TRANSFORM VELMOR_SHADERS PREPEND shaders/ OUTPUT_VARIABLE VELMOR_SHADER_FILES)
install(FILES ${VELMOR_SHADER_FILES} LICENSE DESTINATION .)
if(WIN32)
  # Notepad and the console want CRLF line ends.
  configure_file(cmake/packaging/README.txt.in README.txt @ONLY NEWLINE_STYLE WIN32)
  install(FILES ${CMAKE_CURRENT_BINARY_DIR}/README.txt DESTINATION .)
  set(VELMOR_PACKAGE_SYSTEM windows)
  set(CPACK_GENERATOR ZIP)
else()
  install(FILES README.md DESTINATION .)
  set(VELMOR_PACKAGE_SYSTEM linux)
  set(CPACK_GENERATOR TGZ)
endif()
set(CPACK_PACKAGE_NAME velmor)
set(CPACK_PACKAGE_VENDOR "The Velmor developers")
set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)
set(CPACK_PACKAGE_FILE_NAME velmor-${PROJECT_VERSION}-${VELMOR_PACKAGE_SYSTEM}-x86_64)
# Unpacked, the archive is one folder of its own name, the folder to start velmor in.
set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY ON)
# Without their symbol tables the programs are a third of the size; the Optimus export stays.
set(CPACK_STRIP_FILES ON)
include(CPack)
