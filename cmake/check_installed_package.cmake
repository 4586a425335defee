# Installs the build into a fresh prefix, then builds and runs the examples
# against it twice: through find_package, and with plain compiler commands
# from pkg-config. Run by CTest with cmake -P; the variables are set there.
cmake_minimum_required(VERSION 3.20)

function(run)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE code
    OUTPUT_VARIABLE out ERROR_VARIABLE err)
  if(NOT code EQUAL 0)
    message(FATAL_ERROR "failed (${code}): ${ARGN}\n${out}\n${err}")
  endif()
  set(run_output "${out}" PARENT_SCOPE)
endfunction()

# EMULATOR, when set, runs the programs built (a 32-bit build on a kernel
# that runs no 32-bit program).
if(NOT EMULATOR)
  set(EMULATOR "")
endif()

function(expect_sample_output program)
  run(${EMULATOR} ${program})
  if(NOT run_output MATCHES "t=0\\.0 temperature  300\\.0000  303\\.5355")
    message(FATAL_ERROR "unexpected output of ${program}:\n${run_output}")
  endif()
endfunction()

set(prefix ${WORK_DIR}/prefix)
file(REMOVE_RECURSE ${WORK_DIR})
run(${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix ${prefix})

include(GNUInstallDirs)
foreach(file
    ${CMAKE_INSTALL_INCLUDEDIR}/VOXEvalExpressions.h
    ${CMAKE_INSTALL_LIBDIR}/libVOXEvalExpressions.so
    ${CMAKE_INSTALL_LIBDIR}/cmake/VOXEvalExpressions/VOXEvalExpressionsConfig.cmake
    ${CMAKE_INSTALL_LIBDIR}/pkgconfig/VOXEvalExpressions.pc
    ${CMAKE_INSTALL_BINDIR}/voxeval)
  if(NOT EXISTS ${prefix}/${file})
    message(FATAL_ERROR "not installed: ${file}")
  endif()
endforeach()

# The installed tool finds the installed library by itself.
run(${EMULATOR} ${prefix}/${CMAKE_INSTALL_BINDIR}/voxeval "2*x" x=21)
if(NOT run_output STREQUAL "42\n")
  message(FATAL_ERROR "installed voxeval printed: ${run_output}")
endif()

# A CMake project: find_package(VOXEvalExpressions).
run(${CMAKE_COMMAND} -S ${SOURCE_DIR}/examples -B ${WORK_DIR}/find-package
  -G ${GENERATOR} -DCMAKE_PREFIX_PATH=${prefix}
  -DCMAKE_CXX_COMPILER=${CXX} "-DCMAKE_CXX_FLAGS=${CXX_FLAGS}"
  "-DCMAKE_EXE_LINKER_FLAGS=${LINKER_FLAGS}")
run(${CMAKE_COMMAND} --build ${WORK_DIR}/find-package)
expect_sample_output(${WORK_DIR}/find-package/evaluate_sample)

# Plain compiler commands from pkg-config.
if(NOT PKG_CONFIG)
  message(FATAL_ERROR "pkg-config not found; run scripts/setup tests")
endif()
set(ENV{PKG_CONFIG_PATH} ${prefix}/${CMAKE_INSTALL_LIBDIR}/pkgconfig)
run(${PKG_CONFIG} --cflags --libs VOXEvalExpressions)
separate_arguments(pc_flags UNIX_COMMAND "${run_output}")
run(${PKG_CONFIG} --variable=libdir VOXEvalExpressions)
string(STRIP "${run_output}" libdir)
separate_arguments(cxx_flags UNIX_COMMAND "${CXX_FLAGS} ${LINKER_FLAGS}")
file(MAKE_DIRECTORY ${WORK_DIR}/pkg-config)
run(${CXX} -std=c++17 ${cxx_flags} ${SOURCE_DIR}/examples/evaluate_sample.cpp
  ${pc_flags} -Wl,-rpath,${libdir}
  -o ${WORK_DIR}/pkg-config/evaluate_sample)
expect_sample_output(${WORK_DIR}/pkg-config/evaluate_sample)
