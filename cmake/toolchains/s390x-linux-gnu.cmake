# 64-bit IBM Z, big-endian, run under qemu-s390x.
set(CMAKE_SYSTEM_PROCESSOR s390x)
set(QUARVEL_TRIPLE s390x-linux-gnu)
set(QUARVEL_QEMU qemu-s390x)
include(${CMAKE_CURRENT_LIST_DIR}/linux-static-qemu.cmake)
