# The release archive a Windows user unpacks: the DLL, the list of public
# time servers the General page points to, and the Japanese user guide.
# `cmake --build --preset release --target package` writes it.
install(TARGETS sntp RUNTIME DESTINATION .)
install(FILES
  ${PROJECT_SOURCE_DIR}/dist/TimeServers.txt
  "${PROJECT_SOURCE_DIR}/dist/はじめにお読みください.txt"
  DESTINATION .)

set(CPACK_GENERATOR ZIP)
set(CPACK_PACKAGE_NAME sntp)
set(CPACK_PACKAGE_VENDOR "SNTP plug-in developers")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "SNTP time synchronisation plug-in (32-bit Windows)")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_FILE_NAME sntp-${PROJECT_VERSION}-win32)
set(CPACK_PACKAGE_DIRECTORY ${CMAKE_BINARY_DIR})
include(CPack)
