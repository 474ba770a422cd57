# 32-bit x86, run under qemu-i386. The processor name makes CMakeLists.txt
# ask for SSE arithmetic instead of the x87's.
set(CMAKE_SYSTEM_PROCESSOR i686)
set(QUARVEL_TRIPLE i686-linux-gnu)
set(QUARVEL_QEMU qemu-i386)
include(${CMAKE_CURRENT_LIST_DIR}/linux-static-qemu.cmake)
