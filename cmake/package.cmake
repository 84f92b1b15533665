# The release package: a ZIP from the Windows build holding velmorant.exe,
# the sample settings file (UTF-8 with signature, every key commented in
# Japanese and English) and the operator's guide as a text file that Notepad
# on any Windows version opens correctly (UTF-8 with signature, CRLF lines).
#
#   cmake --build --preset windows && cpack --config build/windows/CPackConfig.cmake
if(NOT VELMORANT_WINDOWS)
  return()
endif()

install(TARGETS velmorant RUNTIME DESTINATION .)
install(FILES ${PROJECT_SOURCE_DIR}/docs/velmorant.ini DESTINATION .)

set(VELMORANT_OPERATOR_TEXT ${PROJECT_BINARY_DIR}/package/velmorant-operator.txt)
file(READ ${PROJECT_SOURCE_DIR}/docs/deployment.md VELMORANT_GUIDE)
string(REPLACE "\r\n" "\n" VELMORANT_GUIDE "${VELMORANT_GUIDE}")
string(REPLACE "\n" "\r\n" VELMORANT_GUIDE "${VELMORANT_GUIDE}")
string(ASCII 239 187 191 VELMORANT_UTF8_SIGNATURE)
file(WRITE ${VELMORANT_OPERATOR_TEXT} "${VELMORANT_UTF8_SIGNATURE}${VELMORANT_GUIDE}")
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/docs/deployment.md)
install(FILES ${VELMORANT_OPERATOR_TEXT} DESTINATION .)

set(CPACK_GENERATOR ZIP)
set(CPACK_PACKAGE_NAME velmorant)
set(CPACK_PACKAGE_VENDOR "Velmorant")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Velmorant station departure board")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_FILE_NAME "velmorant-${PROJECT_VERSION}-win64")
set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY ON)
set(CPACK_STRIP_FILES ON)
set(CPACK_ARCHIVE_COMPONENT_INSTALL OFF)
include(CPack)
