# Test support for the Windows cross build: GoogleTest compiled from Debian's
# sources, a Wine prefix made once per build directory, and the DLL's export
# check. Included by tests/CMakeLists.txt when cross-compiling for Windows.
add_subdirectory(${PROJECT_SOURCE_DIR}/cmake/googletest
  ${CMAKE_BINARY_DIR}/googletest)

if(NOT CMAKE_CROSSCOMPILING_EMULATOR)
  message(FATAL_ERROR "Wine is needed to run the Windows tests: "
    "scripts/setup windows")
endif()

# Wine's first start builds the prefix, which takes a while: do it once,
# before any test program is listed or run.
set(VOXEVAL_WINE_READY ${VOXEVAL_WINEPREFIX}/voxeval-ready.stamp)
add_custom_command(OUTPUT ${VOXEVAL_WINE_READY}
  COMMAND ${CMAKE_CROSSCOMPILING_EMULATOR} wineboot --init
  COMMAND ${CMAKE_COMMAND} -E touch ${VOXEVAL_WINE_READY}
  COMMENT "Creating the Wine prefix"
  VERBATIM)
add_custom_target(wine_prefix DEPENDS ${VOXEVAL_WINE_READY})

find_program(VOXEVAL_OBJDUMP NAMES ${VOXEVAL_MINGW_TRIPLE}-objdump REQUIRED)

# A cross-built test program: unix newlines on stdout (GoogleTest's test list
# is parsed at build time) and a Wine prefix to run in.
function(voxeval_windows_test_program target)
  target_sources(${target} PRIVATE
    ${PROJECT_SOURCE_DIR}/tests/windows/binary_stdout.cpp)
  add_dependencies(${target} wine_prefix)
endfunction()

# The command-line tool runs on Windows too, without MinGW's runtime DLLs.
# (Its case tests, in tools/tests, run it under Wine as well.)
if(EXISTS ${PROJECT_SOURCE_DIR}/tools/CMakeLists.txt)
  add_test(NAME voxeval_exe_evaluates
    COMMAND voxeval "2*x+sin(t)" x=1.5 t=0.5)
  set_tests_properties(voxeval_exe_evaluates PROPERTIES
    PASS_REGULAR_EXPRESSION "^3\\.479425538604203[\r\n]*$")
endif()
