# Install rules: the library, its header, a CMake package and a pkg-config
# file. Included from the top-level CMakeLists.txt.
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

set(VOXEVAL_BOOST_MIN_VERSION 1.65)
set(VOXEVAL_CMAKE_PACKAGE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/VOXEvalExpressions)

install(TARGETS VOXEvalExpressions EXPORT VOXEvalExpressionsTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
  INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(FILES ${PROJECT_SOURCE_DIR}/include/VOXEvalExpressions.h
  DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(EXPORT VOXEvalExpressionsTargets
  NAMESPACE VOXEvalExpressions::
  DESTINATION ${VOXEVAL_CMAKE_PACKAGE_DIR})

configure_package_config_file(
  ${CMAKE_CURRENT_LIST_DIR}/VOXEvalExpressionsConfig.cmake.in
  ${PROJECT_BINARY_DIR}/VOXEvalExpressionsConfig.cmake
  INSTALL_DESTINATION ${VOXEVAL_CMAKE_PACKAGE_DIR})
write_basic_package_version_file(
  ${PROJECT_BINARY_DIR}/VOXEvalExpressionsConfigVersion.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES
  ${PROJECT_BINARY_DIR}/VOXEvalExpressionsConfig.cmake
  ${PROJECT_BINARY_DIR}/VOXEvalExpressionsConfigVersion.cmake
  DESTINATION ${VOXEVAL_CMAKE_PACKAGE_DIR})

# The pkg-config file finds the prefix from its own place.
file(RELATIVE_PATH VOXEVAL_PC_TO_PREFIX
  ${CMAKE_INSTALL_FULL_LIBDIR}/pkgconfig ${CMAKE_INSTALL_PREFIX})
string(REGEX REPLACE "/$" "" VOXEVAL_PC_TO_PREFIX "${VOXEVAL_PC_TO_PREFIX}")
configure_file(${CMAKE_CURRENT_LIST_DIR}/VOXEvalExpressions.pc.in
  ${PROJECT_BINARY_DIR}/VOXEvalExpressions.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/VOXEvalExpressions.pc
  DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
