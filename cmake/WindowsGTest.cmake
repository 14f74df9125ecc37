# GoogleTest for the Windows cross builds, built from the sources of the
# Debian package googletest (/usr/src/googletest). find_package(GTest) in
# tests/ then finds these targets instead of looking for an installed copy.
include(FetchContent)

set(PXCM_GTEST_SOURCE_DIR /usr/src/googletest CACHE PATH "GoogleTest sources for cross builds")
if(NOT EXISTS ${PXCM_GTEST_SOURCE_DIR}/googletest/CMakeLists.txt)
    message(FATAL_ERROR "GoogleTest sources not found in ${PXCM_GTEST_SOURCE_DIR} "
                        "(apt-get install googletest, or set PXCM_GTEST_SOURCE_DIR)")
endif()

set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
set(gtest_disable_pthreads ON CACHE BOOL "" FORCE)

FetchContent_Declare(GTest SOURCE_DIR ${PXCM_GTEST_SOURCE_DIR} OVERRIDE_FIND_PACKAGE)
FetchContent_MakeAvailable(GTest)
