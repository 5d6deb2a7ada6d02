# The release archive a Windows user unpacks: the DLL, the list of public
# time servers the General page points to, the Japanese user guide and the
# licence. `cmake --build --preset release --target package` writes it and,
# beside it, its SHA-256 sum (<archive>.sha256, as sha256sum -c reads it).
install(TARGETS sntp RUNTIME DESTINATION .)
install(FILES
  ${PROJECT_SOURCE_DIR}/dist/TimeServers.txt
  "${PROJECT_SOURCE_DIR}/dist/はじめにお読みください.txt"
  DESTINATION .)

# Every text in the archive opens in Notepad as UTF-8: a byte-order mark and
# CRLF line ends. The repository keeps LICENSE as plain LF text, so the
# archive gets a converted copy.
file(READ ${PROJECT_SOURCE_DIR}/LICENSE licence_text)
string(ASCII 239 187 191 utf8_bom)
file(CONFIGURE OUTPUT ${CMAKE_BINARY_DIR}/dist/LICENSE CONTENT "${utf8_bom}${licence_text}" @ONLY NEWLINE_STYLE CRLF)
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/LICENSE)
install(FILES ${CMAKE_BINARY_DIR}/dist/LICENSE DESTINATION .)

set(CPACK_GENERATOR ZIP)
set(CPACK_PACKAGE_NAME sntp)
set(CPACK_PACKAGE_VENDOR "SNTP plug-in developers")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "SNTP time synchronisation plug-in (32-bit Windows)")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_FILE_NAME sntp-${PROJECT_VERSION}-win32)
set(CPACK_PACKAGE_DIRECTORY ${CMAKE_BINARY_DIR})
set(CPACK_PACKAGE_CHECKSUM SHA256)
include(CPack)
