# Cross-compiles for 64-bit ARM Linux with Debian's aarch64 compiler; the
# programs run under qemu's user-mode emulator with the aarch64 C library
# that the cross compiler's packages install.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)

set(VOXEVAL_CROSS_TRIPLE aarch64-linux-gnu)
set(CMAKE_C_COMPILER ${VOXEVAL_CROSS_TRIPLE}-gcc)
set(CMAKE_CXX_COMPILER ${VOXEVAL_CROSS_TRIPLE}-g++)

set(VOXEVAL_CROSS_SYSROOT /usr/${VOXEVAL_CROSS_TRIPLE})
set(CMAKE_FIND_ROOT_PATH ${VOXEVAL_CROSS_SYSROOT})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

include(${CMAKE_CURRENT_LIST_DIR}/host-boost.cmake)

find_program(VOXEVAL_QEMU NAMES qemu-${CMAKE_SYSTEM_PROCESSOR}
  DOC "qemu's user-mode emulator that runs the cross-built programs")
if(VOXEVAL_QEMU)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${VOXEVAL_QEMU} -L ${VOXEVAL_CROSS_SYSROOT})
endif()
