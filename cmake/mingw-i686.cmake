# 32-bit Windows (x86) with MinGW-w64, posix thread model.
set(CMAKE_SYSTEM_PROCESSOR x86)
set(PXCM_MINGW_TRIPLE i686-w64-mingw32)
set(PXCM_WINE_BITS 32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
