# A native build with clang and LLVM's C++ library (libc++) instead of
# libstdc++. GoogleTest must then be built from its sources as well:
# pass -DQUARVEL_GTEST_SOURCE=/usr/src/googletest.
set(CMAKE_C_COMPILER clang)  # GoogleTest's project enables C
set(CMAKE_CXX_COMPILER clang++)
set(CMAKE_CXX_FLAGS_INIT -stdlib=libc++)
set(CMAKE_EXE_LINKER_FLAGS_INIT "-stdlib=libc++")
# An installed GoogleTest is built for libstdc++ and would not link.
if(NOT DEFINED QUARVEL_GTEST_SOURCE AND EXISTS /usr/src/googletest/CMakeLists.txt)
  set(QUARVEL_GTEST_SOURCE /usr/src/googletest CACHE PATH "GoogleTest sources, built with libc++")
endif()
