# 64-bit Arm, run under qemu-aarch64.
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(QUARVEL_TRIPLE aarch64-linux-gnu)
set(QUARVEL_QEMU qemu-aarch64)
include(${CMAKE_CURRENT_LIST_DIR}/linux-static-qemu.cmake)
