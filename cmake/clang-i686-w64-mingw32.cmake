# The second compiler: clang for the same 32-bit Windows target, linking
# with lld against the MinGW-w64 runtime and GCC's POSIX-thread libraries.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR i686)
set(CMAKE_C_COMPILER clang)
set(CMAKE_CXX_COMPILER clang++)
set(CMAKE_C_COMPILER_TARGET i686-w64-mingw32)
set(CMAKE_CXX_COMPILER_TARGET i686-w64-mingw32)
set(CMAKE_RC_COMPILER i686-w64-mingw32-windres)
set(CMAKE_FIND_ROOT_PATH /usr/i686-w64-mingw32)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(SNTP_MINGW_GCC_LIBS /usr/lib/gcc/i686-w64-mingw32/12-posix)
# The MinGW-w64 headers and GCC's C++ library headers for the target, and
# none of the build machine's own.
set(SNTP_CLANG_TARGET_FLAGS "--sysroot=/usr/i686-w64-mingw32 -isystem ${SNTP_MINGW_GCC_LIBS}/include/c++ -isystem ${SNTP_MINGW_GCC_LIBS}/include/c++/i686-w64-mingw32")
set(CMAKE_C_FLAGS_INIT "--sysroot=/usr/i686-w64-mingw32")
set(CMAKE_CXX_FLAGS_INIT "${SNTP_CLANG_TARGET_FLAGS}")
set(CMAKE_EXE_LINKER_FLAGS_INIT "-fuse-ld=lld -L${SNTP_MINGW_GCC_LIBS}")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-fuse-ld=lld -L${SNTP_MINGW_GCC_LIBS}")
set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/wine-run)
