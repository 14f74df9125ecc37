# Shared part of the MinGW-w64 cross toolchains. The including file sets
# PXCM_MINGW_TRIPLE (i686-w64-mingw32 or x86_64-w64-mingw32) and
# PXCM_WINE_BITS (32 or 64) first.
set(CMAKE_SYSTEM_NAME Windows)

set(CMAKE_C_COMPILER ${PXCM_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${PXCM_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${PXCM_MINGW_TRIPLE}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${PXCM_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Windows programs built here (tests, the test host) run under Wine.
set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/wine-run.sh ${PXCM_WINE_BITS})

# Programs carry their C, C++ and thread runtimes, so that Wine (or a bare
# Windows) needs no MinGW DLLs beside them.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")

# No link time in the PE headers, so that the same sources give the same
# binaries (and the same release zip).
string(APPEND CMAKE_EXE_LINKER_FLAGS_INIT " -Wl,--no-insert-timestamp")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-Wl,--no-insert-timestamp")
