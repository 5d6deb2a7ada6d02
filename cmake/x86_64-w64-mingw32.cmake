# 64-bit Windows: the same sources, for machines that cannot run 32-bit
# programs (the dev host, tests and benchmark then run under wine64).
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(SNTP_MINGW_TRIPLE x86_64-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-gcc.cmake)
