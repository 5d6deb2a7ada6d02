# clang knows no execution character set but UTF-8, so a clang build compiles
# copies of src/ whose narrow literals are already code page 932 escapes
# (cmake/cp932-literals); GCC converts the originals itself.
file(GLOB_RECURSE SNTP_ALL_SOURCES CONFIGURE_DEPENDS
  ${PROJECT_SOURCE_DIR}/src/*.cpp ${PROJECT_SOURCE_DIR}/src/*.h)
set(SNTP_CP932_ROOT ${CMAKE_BINARY_DIR}/cp932)
set(SNTP_CP932_OUTPUTS)
foreach(file IN LISTS SNTP_ALL_SOURCES)
  file(RELATIVE_PATH rel ${PROJECT_SOURCE_DIR} ${file})
  list(APPEND SNTP_CP932_OUTPUTS ${SNTP_CP932_ROOT}/${rel})
endforeach()
add_custom_command(
  OUTPUT ${SNTP_CP932_OUTPUTS}
  COMMAND ${PROJECT_SOURCE_DIR}/cmake/cp932-literals ${PROJECT_SOURCE_DIR} ${SNTP_CP932_ROOT} ${SNTP_ALL_SOURCES}
  DEPENDS ${SNTP_ALL_SOURCES} ${PROJECT_SOURCE_DIR}/cmake/cp932-literals
  COMMENT "Converting literals to code page 932 for clang")
add_custom_target(sntp_cp932_sources DEPENDS ${SNTP_CP932_OUTPUTS})
set(SNTP_CHARSET_FLAGS)

# Points a target's sources under src/ at their converted copies.
function(sntp_compile_converted target)
  get_target_property(sources ${target} SOURCES)
  set(mapped)
  foreach(source IN LISTS sources)
    if(NOT IS_ABSOLUTE ${source} AND source MATCHES "^src/")
      set(source ${PROJECT_SOURCE_DIR}/${source})
    endif()
    string(FIND "${source}" "${PROJECT_SOURCE_DIR}/src/" at)
    if(at EQUAL 0 AND source MATCHES "\\.(cpp|h)$")
      file(RELATIVE_PATH rel ${PROJECT_SOURCE_DIR} ${source})
      set(source ${SNTP_CP932_ROOT}/${rel})
    endif()
    list(APPEND mapped ${source})
  endforeach()
  set_property(TARGET ${target} PROPERTY SOURCES ${mapped})
  target_include_directories(${target} BEFORE PRIVATE ${SNTP_CP932_ROOT}/src)
  add_dependencies(${target} sntp_cp932_sources)
endfunction()
