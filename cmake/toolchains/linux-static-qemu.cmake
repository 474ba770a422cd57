# Shared part of the Linux cross toolchains: the caller sets QUARVEL_TRIPLE
# (the Debian cross compiler's prefix), QUARVEL_QEMU and the processor.
# Static linking lets qemu-user run the programs without a target sysroot,
# and the emulator lets ctest and gtest_discover_tests run them.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_C_COMPILER ${QUARVEL_TRIPLE}-gcc)  # GoogleTest's project enables C
set(CMAKE_CXX_COMPILER ${QUARVEL_TRIPLE}-g++)
set(CMAKE_EXE_LINKER_FLAGS_INIT -static)
# GoogleTest's streaming of results to a socket is never used here, and
# glibc warns against its getaddrinfo in a static program.
set(CMAKE_CXX_FLAGS_INIT -DGTEST_CAN_STREAM_RESULTS_=0)
set(CMAKE_CROSSCOMPILING_EMULATOR ${QUARVEL_QEMU})

# Libraries, headers and packages come from the target's folder only, so a
# host GoogleTest is never picked up: build it with QUARVEL_GTEST_SOURCE.
set(CMAKE_FIND_ROOT_PATH /usr/${QUARVEL_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
