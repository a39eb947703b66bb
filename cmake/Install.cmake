# The installed package: the export set filled by the install(TARGETS ...) rules of the component
# and of the stand-ins, a CMake package configuration with its version file, and a pkg-config
# file. Included from the root CMakeLists.txt after the libraries' directories.
#
#   find_package(OperationReceipt CONFIG REQUIRED)
#   target_link_libraries(app PRIVATE OperationReceipt::OperationReceipt
#                         OperationReceipt::QuorvelServices OperationReceipt::BitData)
#
#   c++ app.cpp $(pkg-config --cflags --libs operation-receipt)

include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

set(OR_INSTALL_CMAKEDIR ${CMAKE_INSTALL_LIBDIR}/cmake/OperationReceipt
  CACHE STRING "Where the CMake package files are installed, relative to the prefix")
set(OR_INSTALL_PKGCONFIGDIR ${CMAKE_INSTALL_LIBDIR}/pkgconfig
  CACHE STRING "Where operation-receipt.pc is installed, relative to the prefix")

install(EXPORT OperationReceiptTargets
  NAMESPACE OperationReceipt::
  FILE OperationReceiptTargets.cmake
  DESTINATION ${OR_INSTALL_CMAKEDIR})

configure_package_config_file(
  ${CMAKE_CURRENT_LIST_DIR}/OperationReceiptConfig.cmake.in
  ${PROJECT_BINARY_DIR}/OperationReceiptConfig.cmake
  INSTALL_DESTINATION ${OR_INSTALL_CMAKEDIR})
write_basic_package_version_file(
  ${PROJECT_BINARY_DIR}/OperationReceiptConfigVersion.cmake
  VERSION ${PROJECT_VERSION}
  COMPATIBILITY SameMajorVersion)
install(FILES
  ${PROJECT_BINARY_DIR}/OperationReceiptConfig.cmake
  ${PROJECT_BINARY_DIR}/OperationReceiptConfigVersion.cmake
  DESTINATION ${OR_INSTALL_CMAKEDIR})

# The .pc file finds its prefix from its own location (${pcfiledir}), so the tree may be installed
# with `cmake --install --prefix` anywhere, or moved, and still be right. Absolute install dirs
# are written as they are.
set(OR_PC_PREFIX "\${pcfiledir}")
if(IS_ABSOLUTE "${OR_INSTALL_PKGCONFIGDIR}")
  set(OR_PC_PREFIX "${CMAKE_INSTALL_PREFIX}")
else()
  # From <prefix>/<pkgconfigdir> back up to <prefix>: one ".." per path component.
  string(REGEX REPLACE "[^/]+" ".." OR_PC_UP "${OR_INSTALL_PKGCONFIGDIR}")
  string(REGEX REPLACE "/+$" "" OR_PC_UP "${OR_PC_UP}")
  string(APPEND OR_PC_PREFIX "/${OR_PC_UP}")
endif()
foreach(dir LIBDIR INCLUDEDIR)
  if(IS_ABSOLUTE "${CMAKE_INSTALL_${dir}}")
    set(OR_PC_${dir} "${CMAKE_INSTALL_${dir}}")
  else()
    set(OR_PC_${dir} "\${prefix}/${CMAKE_INSTALL_${dir}}")
  endif()
endforeach()
configure_file(${CMAKE_CURRENT_LIST_DIR}/operation-receipt.pc.in
  ${PROJECT_BINARY_DIR}/operation-receipt.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/operation-receipt.pc DESTINATION ${OR_INSTALL_PKGCONFIGDIR})
