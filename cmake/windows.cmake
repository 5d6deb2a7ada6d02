# Windows build: sntp.dll, the dev host and the Windows tests run under Wine.
set(SNTP_WIN_DEFINES _WIN32_WINNT=0x0600 WINVER=0x0600 _WIN32_IE=0x0600 STRICT)
set(CMAKE_RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/bin)
set(CMAKE_LIBRARY_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/bin)
option(SNTP_DLL_ONLY "Build sntp.dll alone (no dev host, no tests)" OFF)
if(CMAKE_CXX_COMPILER_ID STREQUAL "Clang")
  include(cmake/clang-cp932.cmake)
endif()

# The pure objects as the DLL needs them; the test programs and the tools
# link the same objects.
target_compile_options(sntp_pure PRIVATE ${SNTP_WARNINGS} ${SNTP_CHARSET_FLAGS} -fno-exceptions -fno-rtti)

# The plug-in's Win32 code apart from its entry routine, as objects: the DLL
# is made of them and the pure ones, and the Windows tests of its internals
# link them directly.
add_library(sntp_core OBJECT
  src/plugin/global_text.cpp
  src/plugin/module.cpp
  src/plugin/error_and_status.cpp
  src/settings/item_settings.cpp
  src/check/address_cache.cpp
  src/check/probe_state.cpp
  src/check/clock.cpp
  src/check/exchange.cpp
  src/check/lifecycle.cpp
  src/ui/sheet.cpp
  src/ui/pages.cpp
)
target_include_directories(sntp_core PUBLIC src res)
target_compile_definitions(sntp_core PUBLIC ${SNTP_WIN_DEFINES})
target_compile_options(sntp_core PRIVATE ${SNTP_WARNINGS} ${SNTP_CHARSET_FLAGS} -fno-exceptions -fno-rtti)


# The export list: undecorated names at fixed ordinals. Its internal names
# carry the 32-bit stdcall decoration; x86-64 has one calling convention and
# no decoration, so that build exports the same names and ordinals from a
# list written by scripts/lib.sh (which reads sntp.def for every script).
set(SNTP_DEF ${PROJECT_SOURCE_DIR}/src/plugin/sntp.def)
if(CMAKE_SIZEOF_VOID_P EQUAL 8)
  set(lib ${PROJECT_SOURCE_DIR}/scripts/lib.sh)
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${SNTP_DEF} ${lib})
  execute_process(COMMAND bash -c ". \"$1\" && sntp_def_x64" _ ${lib}
    OUTPUT_FILE ${CMAKE_BINARY_DIR}/sntp.def.new RESULT_VARIABLE written)
  if(NOT written EQUAL 0)
    message(FATAL_ERROR "the x86-64 export list could not be written from ${SNTP_DEF}")
  endif()
  # Replaced only when it changed, so that configuring again relinks nothing.
  file(COPY_FILE ${CMAKE_BINARY_DIR}/sntp.def.new ${CMAKE_BINARY_DIR}/sntp.def ONLY_IF_DIFFERENT)
  set(SNTP_DEF ${CMAKE_BINARY_DIR}/sntp.def)
endif()

include(cmake/version.cmake)

add_library(sntp SHARED
  src/dll/entry.cpp
  $<TARGET_OBJECTS:sntp_pure>
  $<TARGET_OBJECTS:sntp_core>
  ${SNTP_DEF}
  res/sntp.rc
)
set_target_properties(sntp PROPERTIES PREFIX "" OUTPUT_NAME sntp)
target_include_directories(sntp PRIVATE src res ${CMAKE_BINARY_DIR}/generated)
target_compile_definitions(sntp PRIVATE ${SNTP_WIN_DEFINES})
target_compile_options(sntp PRIVATE
  $<$<COMPILE_LANGUAGE:CXX>:${SNTP_WARNINGS} ${SNTP_CHARSET_FLAGS} -fno-exceptions -fno-rtti>)
# The runtime is linked in, so the DLL imports system DLLs only.
target_link_options(sntp PRIVATE -static -static-libgcc -static-libstdc++ -Wl,--disable-stdcall-fixup)
set(SNTP_SYSTEM_LIBS wsock32 comctl32 user32 advapi32 kernel32)
target_link_libraries(sntp PRIVATE ${SNTP_SYSTEM_LIBS})
set_source_files_properties(res/sntp.rc PROPERTIES
  OBJECT_DEPENDS "${PROJECT_SOURCE_DIR}/res/strings.rc;${PROJECT_SOURCE_DIR}/res/dialogs.rc;${PROJECT_SOURCE_DIR}/res/resource.h;${PROJECT_SOURCE_DIR}/res/sntp.ico;${SNTP_VERSION_HEADER}")

# A release DLL carries no symbols.
target_link_options(sntp PRIVATE $<$<CONFIG:Release>:-s>)

# The time the linker stamps into the image (and the archive's entries
# carry): the commit's, or SOURCE_DATE_EPOCH's, never the clock's, so that
# one commit links to the same bytes on any machine on any day.
# The same time, as a header, is the module's release date: the exchange
# refuses a server time from before it.
set(SNTP_SOURCE_DATE_FILE ${CMAKE_BINARY_DIR}/source-date-epoch)
set(SNTP_SOURCE_DATE_HEADER ${CMAKE_BINARY_DIR}/generated/source_date.h)
# Once at configure time, so that a build time the machine's clock cannot
# have reached stops the configure and says why.
execute_process(COMMAND ${CMAKE_COMMAND} -DSOURCE_DIR=${PROJECT_SOURCE_DIR} -DOUTPUT=${SNTP_SOURCE_DATE_FILE}
                        -DHEADER=${SNTP_SOURCE_DATE_HEADER} -P ${PROJECT_SOURCE_DIR}/cmake/source-date-epoch.cmake
                RESULT_VARIABLE source_date_status)
if(NOT source_date_status EQUAL 0)
  message(FATAL_ERROR "the build's time could not be set (see above)")
endif()
add_custom_target(sntp_source_date
  COMMAND ${CMAKE_COMMAND} -DSOURCE_DIR=${PROJECT_SOURCE_DIR} -DOUTPUT=${SNTP_SOURCE_DATE_FILE}
          -DHEADER=${SNTP_SOURCE_DATE_HEADER} -P ${PROJECT_SOURCE_DIR}/cmake/source-date-epoch.cmake
  BYPRODUCTS ${SNTP_SOURCE_DATE_FILE} ${SNTP_SOURCE_DATE_HEADER}
  VERBATIM)
add_dependencies(sntp sntp_source_date)
add_dependencies(sntp_core sntp_source_date)
target_include_directories(sntp_core PRIVATE ${CMAKE_BINARY_DIR}/generated)
set_target_properties(sntp PROPERTIES
  CXX_LINKER_LAUNCHER "${PROJECT_SOURCE_DIR}/cmake/with-source-date;${SNTP_SOURCE_DATE_FILE}"
  LINK_DEPENDS ${SNTP_SOURCE_DATE_FILE})
include(cmake/package.cmake)

if(CMAKE_CXX_COMPILER_ID STREQUAL "Clang")
  sntp_compile_converted(sntp_pure)
  sntp_compile_converted(sntp_core)
  sntp_compile_converted(sntp)
endif()
if(SNTP_DLL_ONLY)
  return()
endif()

add_subdirectory(tools/devhost)
add_subdirectory(bench)

option(SNTP_WIN_TESTS "Build the Windows tests (GoogleTest programs run under Wine)" ON)
if(SNTP_WIN_TESTS)
  set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
  set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
  add_subdirectory(${GTEST_SOURCE_DIR} googletest EXCLUDE_FROM_ALL)
  add_subdirectory(tests/win)
endif()
