# The release archive a Windows user unpacks: the DLL, the list of public
# time servers the General page points to, the Japanese user guide and the
# licence, in a folder named after the version. `cmake --build --preset
# release --target package` writes it and, beside it, its SHA-256 sum
# (<archive>.sha256, as sha256sum -c reads it). cmake/make-archive writes
# both: the same commit gives the same bytes (entry times from the commit,
# in Japan's time), and the guide's Japanese name reads right in Explorer
# and the archivers of every Windows the guide names.

# Every text in the archive opens in Notepad as UTF-8: a byte-order mark and
# CRLF line ends. The repository keeps LICENSE as plain LF text, so the
# archive gets a converted copy.
file(READ ${PROJECT_SOURCE_DIR}/LICENSE licence_text)
string(ASCII 239 187 191 utf8_bom)
file(CONFIGURE OUTPUT ${CMAKE_BINARY_DIR}/dist/LICENSE CONTENT "${utf8_bom}${licence_text}" @ONLY NEWLINE_STYLE CRLF)
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/LICENSE)

set(SNTP_PACKAGE_NAME sntp-${PROJECT_VERSION}-win32)
set(SNTP_ARCHIVE ${CMAKE_BINARY_DIR}/${SNTP_PACKAGE_NAME}.zip)
# In the order the guide lists them.
set(SNTP_ARCHIVE_FILES
  $<TARGET_FILE:sntp>=sntp.dll
  ${PROJECT_SOURCE_DIR}/dist/TimeServers.txt=TimeServers.txt
  "${PROJECT_SOURCE_DIR}/dist/はじめにお読みください.txt=はじめにお読みください.txt"
  ${CMAKE_BINARY_DIR}/dist/LICENSE=LICENSE)
add_custom_command(
  OUTPUT ${SNTP_ARCHIVE} ${SNTP_ARCHIVE}.sha256
  COMMAND ${PROJECT_SOURCE_DIR}/cmake/make-archive --output ${SNTP_ARCHIVE} --folder ${SNTP_PACKAGE_NAME}
          --epoch-file ${SNTP_SOURCE_DATE_FILE} ${SNTP_ARCHIVE_FILES}
  DEPENDS sntp ${SNTP_SOURCE_DATE_FILE} ${PROJECT_SOURCE_DIR}/cmake/make-archive
          ${PROJECT_SOURCE_DIR}/dist/TimeServers.txt "${PROJECT_SOURCE_DIR}/dist/はじめにお読みください.txt"
          ${CMAKE_BINARY_DIR}/dist/LICENSE
  COMMENT "Packing ${SNTP_PACKAGE_NAME}.zip"
  VERBATIM)
# CMake keeps the name "package" for CPack while a build folder holds a
# CPack configuration; one left there by an older configure is stale.
file(REMOVE ${CMAKE_BINARY_DIR}/CPackConfig.cmake ${CMAKE_BINARY_DIR}/CPackSourceConfig.cmake)
add_custom_target(package DEPENDS ${SNTP_ARCHIVE})
