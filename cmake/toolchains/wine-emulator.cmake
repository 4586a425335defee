# The Windows test programs' emulator: Wine, with the names the including
# toolchain file sets (VOXEVAL_WINE_NAMES, VOXEVAL_WINESERVER_NAMES,
# VOXEVAL_WINEARCH). Included after host-boost.cmake.
if(NOT VOXEVAL_IN_TRY_COMPILE)
  # Test programs run under Wine (see wine-run), in a prefix of this build's
  # own so that nothing depends on the user's home.
  find_program(VOXEVAL_WINE NAMES ${VOXEVAL_WINE_NAMES}
    PATHS /usr/lib/wine NO_DEFAULT_PATH
    DOC "Wine loader that runs the cross-built programs")
  find_program(VOXEVAL_WINESERVER NAMES ${VOXEVAL_WINESERVER_NAMES}
    PATHS /usr/lib/wine NO_DEFAULT_PATH DOC "Wine server")
  set(VOXEVAL_WINEPREFIX ${CMAKE_BINARY_DIR}/wineprefix)
  if(VOXEVAL_WINE AND VOXEVAL_WINESERVER)
    set(CMAKE_CROSSCOMPILING_EMULATOR
      ${CMAKE_COMMAND} -E env WINEPREFIX=${VOXEVAL_WINEPREFIX}
      WINEARCH=${VOXEVAL_WINEARCH}
      WINELOADER=${VOXEVAL_WINE} WINESERVER=${VOXEVAL_WINESERVER}
      ${CMAKE_CURRENT_LIST_DIR}/wine-run)
  endif()
endif()
