# The libraries of pxc.exe, as the INTERFACE target pxc_libraries; sets
# PXC_WINDOWS_LIBRARIES when they are all there (else says what is missing,
# and the build goes on without pxc.exe).
#
# - libspng and libdeflate from their unpacked sources in
#   PXCM_WINDOWS_THIRD_PARTY (spng/ and libdeflate/, as
#   scripts/fetch-windows-sources.sh leaves them), built here as static
#   libraries;
# - zlib (for libspng and the PNG writer): MinGW's static libz.a (Debian
#   libz-mingw-w64-dev);
# - CLI11 and nlohmann-json: header-only, from the build machine's
#   /usr/include, through a folder that holds only those two (the rest of
#   /usr/include is for Linux and must not be seen).
set(PXCM_WINDOWS_THIRD_PARTY "" CACHE PATH
    "Folder with the unpacked sources of libspng (spng/) and libdeflate (libdeflate/) for pxc.exe")
set(PXC_WINDOWS_LIBRARIES FALSE)

set(tp ${PXCM_WINDOWS_THIRD_PARTY})
set(spng_source ${tp}/spng/spng/spng.c)
set(deflate_dir ${tp}/libdeflate)
if(NOT tp OR NOT EXISTS ${spng_source} OR NOT EXISTS ${deflate_dir}/libdeflate.h)
    message(STATUS "pxc.exe: not built, no libspng and libdeflate sources in PXCM_WINDOWS_THIRD_PARTY "
                   "('${tp}'); scripts/fetch-windows-sources.sh fetches them")
    return()
endif()

find_library(PXC_ZLIB_STATIC NAMES libz.a)
find_path(PXC_ZLIB_INCLUDE zlib.h)
set(PXC_HEADER_ONLY_ROOT /usr/include CACHE PATH "Where CLI/ and nlohmann/ (header-only libraries) are")
if(NOT PXC_ZLIB_STATIC OR NOT PXC_ZLIB_INCLUDE)
    message(STATUS "pxc.exe: not built, no static zlib for MinGW (Debian package libz-mingw-w64-dev)")
    return()
endif()
foreach(header CLI/CLI.hpp nlohmann/json.hpp)
    if(NOT EXISTS ${PXC_HEADER_ONLY_ROOT}/${header})
        message(STATUS "pxc.exe: not built, no ${PXC_HEADER_ONLY_ROOT}/${header} "
                       "(Debian packages libcli11-dev, nlohmann-json3-dev)")
        return()
    endif()
endforeach()

# Not our code: built as its authors wrote it, without our warnings.
add_library(pxc_spng STATIC ${spng_source})
target_compile_definitions(pxc_spng PUBLIC SPNG_STATIC)
target_include_directories(pxc_spng SYSTEM PUBLIC ${tp}/spng/spng)
target_include_directories(pxc_spng PRIVATE ${PXC_ZLIB_INCLUDE})
target_compile_options(pxc_spng PRIVATE -w)
target_link_libraries(pxc_spng PUBLIC ${PXC_ZLIB_STATIC})

file(GLOB deflate_sources ${deflate_dir}/lib/*.c ${deflate_dir}/lib/x86/*.c)
add_library(pxc_deflate STATIC ${deflate_sources})
target_include_directories(pxc_deflate SYSTEM PUBLIC ${deflate_dir})
target_include_directories(pxc_deflate PRIVATE ${deflate_dir}/lib)
target_compile_options(pxc_deflate PRIVATE -w)

set(header_only ${CMAKE_CURRENT_BINARY_DIR}/header-only)
file(MAKE_DIRECTORY ${header_only})
foreach(dir CLI nlohmann)
    file(CREATE_LINK ${PXC_HEADER_ONLY_ROOT}/${dir} ${header_only}/${dir} SYMBOLIC)
endforeach()

add_library(pxc_libraries INTERFACE)
target_include_directories(pxc_libraries SYSTEM INTERFACE ${header_only} ${PXC_ZLIB_INCLUDE})
target_link_libraries(pxc_libraries INTERFACE pxc_spng pxc_deflate ${PXC_ZLIB_STATIC} shell32)
set(PXC_WINDOWS_LIBRARIES TRUE)
message(STATUS "pxc.exe: libspng (${tp}/spng), libdeflate (${deflate_dir}), zlib ${PXC_ZLIB_STATIC}")
