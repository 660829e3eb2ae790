# GoogleTest built from Debian's sources for the target system (the packaged library is
# for the build machine only). find_package(GTest) then finds these targets.
include(FetchContent)
set(VELMORAN_GTEST_SOURCE_DIR /usr/src/googletest CACHE PATH "GoogleTest sources")
set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
FetchContent_Declare(GTest SOURCE_DIR ${VELMORAN_GTEST_SOURCE_DIR} OVERRIDE_FIND_PACKAGE)
FetchContent_MakeAvailable(GTest)
# Statically linked, so the tests run under Wine without the toolchain's DLLs.
foreach(target gtest gtest_main)
  target_link_options(${target} INTERFACE -static)
endforeach()
