# Writes the time that the release files carry, in seconds since 1970:
# SOURCE_DATE_EPOCH when the environment sets it, otherwise the time of the
# commit the sources are at. Run at configure time and at every build; the
# file changes only when that time does, so the DLL is linked again (and the
# archive packed again) only then. With HEADER, the same time also goes into
# a C++ header, for the module's code that refuses server times from before
# its own release.
#
# A time more than a day after this machine's clock stops the build: the
# module would refuse every correct server as one whose time lies before its
# release. (The module's floor is a day before the build's time, for a
# committer's clock that was wrong; the times themselves are UTC.)
#
# cmake -DSOURCE_DIR=<sources> -DOUTPUT=<file> [-DHEADER=<file>] -P source-date-epoch.cmake
if(DEFINED ENV{SOURCE_DATE_EPOCH})
  set(epoch "$ENV{SOURCE_DATE_EPOCH}")
  set(origin "SOURCE_DATE_EPOCH")
else()
  execute_process(COMMAND git log -1 --format=%ct
    WORKING_DIRECTORY ${SOURCE_DIR} OUTPUT_VARIABLE epoch RESULT_VARIABLE status
    OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "${SOURCE_DIR} is not a git checkout with a commit: set SOURCE_DATE_EPOCH "
                        "(seconds since 1970) to the time the build is to carry")
  endif()
  set(origin "the last commit")
endif()
if(NOT epoch MATCHES "^[0-9]+$")
  message(FATAL_ERROR "the time from ${origin} is not a number of seconds since 1970: '${epoch}'")
endif()
# The machine's clock: string(TIMESTAMP) would read SOURCE_DATE_EPOCH
# instead where it is set, so it is unset for this script alone.
unset(ENV{SOURCE_DATE_EPOCH})
string(TIMESTAMP now "%s" UTC)
math(EXPR latest "${now} + 86400")
if(epoch GREATER latest)
  string(TIMESTAMP now_text "%Y-%m-%d %H:%M UTC" UTC)
  message(FATAL_ERROR "the time this build is to carry (${epoch} s from ${origin}) is more than a day "
                      "after this machine's clock (${now_text}). A module built so would refuse every "
                      "correct time server as one whose time lies before the module's release. Set this "
                      "machine's clock right, or set SOURCE_DATE_EPOCH to the commit's true time (or "
                      "commit again with a clock that is right).")
endif()
file(CONFIGURE OUTPUT ${OUTPUT} CONTENT "${epoch}\n")
if(HEADER)
  file(CONFIGURE OUTPUT ${HEADER} CONTENT "// Written by the build (cmake/source-date-epoch.cmake): the time of the
// commit this build was made from, or SOURCE_DATE_EPOCH's, in seconds since
// 1970-01-01 00:00 UTC.
#pragma once
#define SNTP_SOURCE_DATE_EPOCH ${epoch}
")
endif()
