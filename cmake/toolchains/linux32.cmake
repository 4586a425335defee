# 32-bit x86 Linux with the host's g++ and -m32; the programs run on the
# host itself (Debian's multilib libraries), so this is no cross build.
#
# x87 arithmetic rounds to 80 bits between steps, and results would differ
# from the 64-bit builds' in the last place: SSE2 keeps every step a double.
set(VOXEVAL_M32_FLAGS "-m32 -msse2 -mfpmath=sse")

# The kernel headers' asm/ directory serves both widths, but without
# g++-multilib (which conflicts with Debian's cross compilers) no path leads
# to it for -m32: a directory holding only a link to it does.
set(VOXEVAL_M32_INCLUDE ${CMAKE_BINARY_DIR}/m32-include)
if(NOT IS_SYMLINK ${VOXEVAL_M32_INCLUDE}/asm)
  file(MAKE_DIRECTORY ${VOXEVAL_M32_INCLUDE})
  file(CREATE_LINK /usr/include/x86_64-linux-gnu/asm
    ${VOXEVAL_M32_INCLUDE}/asm SYMBOLIC)
endif()

set(CMAKE_C_FLAGS_INIT "${VOXEVAL_M32_FLAGS} -idirafter ${VOXEVAL_M32_INCLUDE}")
set(CMAKE_CXX_FLAGS_INIT "${VOXEVAL_M32_FLAGS} -idirafter ${VOXEVAL_M32_INCLUDE}")
# The host's Boost CMake files describe 64-bit libraries; the headers serve.
set(Boost_NO_BOOST_CMAKE ON CACHE BOOL "")
