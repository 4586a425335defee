# Boost's smart pointers are header-only, so the host's Debian headers serve
# a cross build. A directory holding only a link to them keeps the host's
# other headers out of it. Included by the cross toolchain files.
get_property(VOXEVAL_IN_TRY_COMPILE GLOBAL PROPERTY IN_TRY_COMPILE)
if(NOT VOXEVAL_IN_TRY_COMPILE)
  set(VOXEVAL_BOOST_INCLUDE ${CMAKE_BINARY_DIR}/cross-include)
  if(NOT IS_SYMLINK ${VOXEVAL_BOOST_INCLUDE}/boost)
    file(MAKE_DIRECTORY ${VOXEVAL_BOOST_INCLUDE})
    file(CREATE_LINK /usr/include/boost ${VOXEVAL_BOOST_INCLUDE}/boost SYMBOLIC)
  endif()
  set(Boost_INCLUDE_DIR ${VOXEVAL_BOOST_INCLUDE} CACHE PATH
    "Boost headers for the cross build")
  # The host's Boost CMake files and system paths describe host libraries.
  set(Boost_NO_BOOST_CMAKE ON CACHE BOOL "")
  set(Boost_NO_SYSTEM_PATHS ON CACHE BOOL "")
endif()
