# Cross-compiling for Windows with MinGW-w64 GCC, for the target named by
# SNTP_MINGW_TRIPLE (set by the toolchain file that includes this one). The
# POSIX thread model compilers are needed by GoogleTest (std::mutex); programs
# link statically, so no MinGW runtime DLL is needed at run time.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_C_COMPILER ${SNTP_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${SNTP_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${SNTP_MINGW_TRIPLE}-windres)
set(CMAKE_FIND_ROOT_PATH /usr/${SNTP_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
# Test programs run under Wine, in the project's private prefix.
set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/wine-run)
