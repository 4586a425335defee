# The import libraries of the Microsoft-ABI build, made by llvm-dlltool from
# the .def files beside this one: kernel32.dll, ucrtbase.dll,
# vcruntime140.dll, and on x86 ntdll.dll's integer helpers. Gives the target
# VOXEvalMicrosoftRuntime, which the DLL and the test programs link.
find_program(VOXEVAL_DLLTOOL NAMES llvm-dlltool llvm-dlltool-14 REQUIRED)

if(CMAKE_SIZEOF_VOID_P EQUAL 4)
  set(VOXEVAL_DLLTOOL_MACHINE i386)
  set(VOXEVAL_RUNTIMES kernel32 vcruntime140 ucrtbase ntdll)
else()
  set(VOXEVAL_DLLTOOL_MACHINE i386:x86-64)
  set(VOXEVAL_RUNTIMES kernel32 vcruntime140 ucrtbase)
endif()

set(VOXEVAL_RUNTIME_LIBRARIES)
foreach(runtime ${VOXEVAL_RUNTIMES})
  # The 32-bit names carry their stdcall suffix; on x64 there is none.
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS
    ${CMAKE_CURRENT_LIST_DIR}/${runtime}.def)
  file(READ ${CMAKE_CURRENT_LIST_DIR}/${runtime}.def definitions)
  if(NOT CMAKE_SIZEOF_VOID_P EQUAL 4)
    string(REGEX REPLACE "@[0-9]+" "" definitions "${definitions}")
  endif()
  set(def ${CMAKE_BINARY_DIR}/msvc-runtime/${runtime}.def)
  file(CONFIGURE OUTPUT ${def} CONTENT "${definitions}" @ONLY)
  set(lib ${CMAKE_BINARY_DIR}/msvc-runtime/${runtime}.lib)
  add_custom_command(OUTPUT ${lib}
    COMMAND ${VOXEVAL_DLLTOOL} -m ${VOXEVAL_DLLTOOL_MACHINE} -k -d ${def} -l ${lib}
    DEPENDS ${def}
    COMMENT "Import library of ${runtime}.dll"
    VERBATIM)
  list(APPEND VOXEVAL_RUNTIME_LIBRARIES ${lib})
endforeach()
add_custom_target(voxeval_runtime_imports DEPENDS ${VOXEVAL_RUNTIME_LIBRARIES})

add_library(VOXEvalMicrosoftRuntime INTERFACE)
add_dependencies(VOXEvalMicrosoftRuntime voxeval_runtime_imports)
target_link_libraries(VOXEvalMicrosoftRuntime INTERFACE
  ${VOXEVAL_RUNTIME_LIBRARIES})
