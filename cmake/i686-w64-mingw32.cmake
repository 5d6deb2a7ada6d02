# 32-bit Windows, the host's architecture: the product.
set(CMAKE_SYSTEM_PROCESSOR i686)
set(SNTP_MINGW_TRIPLE i686-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-gcc.cmake)
