# The version is stated once, in project() of CMakeLists.txt. The DLL's
# version block and the archive's name are made from it; the change history
# (CHANGELOG.md) and the user guide, which are read as they stand in the
# repository, must name it as their newest release (the guide also in its
# title), with the same date, or the build stops here.

set(SNTP_VERSION_HEADER ${CMAKE_BINARY_DIR}/generated/sntp_version.h)
string(REPLACE "." "," SNTP_VERSION_NUMBERS ${PROJECT_VERSION})
file(CONFIGURE OUTPUT ${SNTP_VERSION_HEADER} CONTENT
"// Made by cmake/version.cmake from the version in CMakeLists.txt.
#define SNTP_VERSION_NUMBERS ${SNTP_VERSION_NUMBERS}
#define SNTP_VERSION_TEXT \"${PROJECT_VERSION}\"
")

set(SNTP_CHANGELOG ${PROJECT_SOURCE_DIR}/CHANGELOG.md)
set(SNTP_GUIDE "${PROJECT_SOURCE_DIR}/dist/はじめにお読みください.txt")
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${SNTP_CHANGELOG} ${SNTP_GUIDE})
file(READ ${SNTP_CHANGELOG} text)
string(REGEX MATCH "\n## ([0-9.]+) — ([0-9-]+)\n" found "${text}")
set(changelog "${CMAKE_MATCH_1} (${CMAKE_MATCH_2})")
file(READ ${SNTP_GUIDE} text)
string(REPLACE "\r" "" text "${text}")
string(REGEX MATCH "^[^\n]* バージョン ([0-9.]+)\n" found "${text}")
set(guide_title "${CMAKE_MATCH_1}")
string(REGEX MATCH "\n■ 更新履歴\n\n  ([0-9.]+) \\(([0-9-]+)\\)\n" found "${text}")
set(guide_history "${CMAKE_MATCH_1} (${CMAKE_MATCH_2})")
if(NOT changelog MATCHES "^${PROJECT_VERSION} \\(" OR NOT guide_history STREQUAL changelog
   OR NOT guide_title STREQUAL PROJECT_VERSION)
  message(FATAL_ERROR "The version is ${PROJECT_VERSION} (CMakeLists.txt), but the newest release of "
    "CHANGELOG.md is '${changelog}', that of the guide's 更新履歴 '${guide_history}' and the guide's title "
    "names '${guide_title}': give the release its entry in both, with one date, and the guide its title.")
endif()
