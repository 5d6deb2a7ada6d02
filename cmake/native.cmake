# Native build: the pure code and its unit tests, under AddressSanitizer and
# UndefinedBehaviorSanitizer; or, with SNTP_FUZZ (clang), its fuzz targets.
option(SNTP_FUZZ "Build the libFuzzer targets instead of the unit tests (clang)" OFF)
if(SNTP_FUZZ)
  include(cmake/clang-cp932.cmake)
  add_subdirectory(tests/fuzz)
  return()
endif()

set(SNTP_SANITIZE -fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer)

set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
add_subdirectory(${GTEST_SOURCE_DIR} googletest EXCLUDE_FROM_ALL)

target_compile_options(sntp_pure PUBLIC ${SNTP_WARNINGS} ${SNTP_CHARSET_FLAGS} ${SNTP_SANITIZE})
target_link_options(sntp_pure PUBLIC ${SNTP_SANITIZE})

add_subdirectory(tests/unit)

# The probe that decides the Windows architecture, with an emulator entry in its way.
add_test(NAME windows_arch_test COMMAND ${PROJECT_SOURCE_DIR}/tests/scripts/windows_arch_test)
set_tests_properties(windows_arch_test PROPERTIES SKIP_RETURN_CODE 77)

# The include-order check of the folders of src/, on trees of its own.
add_test(NAME check_layers_test COMMAND ${PROJECT_SOURCE_DIR}/tests/scripts/check_layers_test)

# The release archive's writer, on files of its own.
add_test(NAME make_archive_test COMMAND ${PROJECT_SOURCE_DIR}/tests/scripts/make_archive_test)

# The guide's error section quotes only numbers and texts the plug-in can
# show: the check itself, on a tree of its own, and on this tree's guide.
add_test(NAME guide_texts_test COMMAND ${PROJECT_SOURCE_DIR}/tests/scripts/guide_texts_test)
add_test(NAME guide_texts COMMAND ${PROJECT_SOURCE_DIR}/scripts/check-package --guide-texts
  "${PROJECT_SOURCE_DIR}/dist/はじめにお読みください.txt")

# The loopback chronyd started by an ordinary user.
add_test(NAME chronyd_test COMMAND ${PROJECT_SOURCE_DIR}/tests/scripts/chronyd_test ${SNTP_CHRONY_PORT})
set_tests_properties(chronyd_test PROPERTIES SKIP_RETURN_CODE 77)
