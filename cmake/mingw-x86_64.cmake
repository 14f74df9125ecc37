# 64-bit Windows (x64) with MinGW-w64, posix thread model.
set(CMAKE_SYSTEM_PROCESSOR AMD64)
set(PXCM_MINGW_TRIPLE x86_64-w64-mingw32)
set(PXCM_WINE_BITS 64)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
