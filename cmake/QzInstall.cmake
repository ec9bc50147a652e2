# Install rules: the component's library and public headers, a CMake package config (so that a
# host can find_package(qz_netmessage)) and a pkg-config file.
include(CMakePackageConfigHelpers)

install(TARGETS qz_netmessage EXPORT qz_netmessageTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(DIRECTORY include/qz DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(EXPORT qz_netmessageTargets NAMESPACE qz::
  DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/qz_netmessage)

configure_package_config_file(cmake/qz_netmessageConfig.cmake.in
  ${CMAKE_CURRENT_BINARY_DIR}/qz_netmessageConfig.cmake
  INSTALL_DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/qz_netmessage)
write_basic_package_version_file(${CMAKE_CURRENT_BINARY_DIR}/qz_netmessageConfigVersion.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/qz_netmessageConfig.cmake
  ${CMAKE_CURRENT_BINARY_DIR}/qz_netmessageConfigVersion.cmake
  DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/qz_netmessage)

configure_file(cmake/qz_netmessage.pc.in ${CMAKE_CURRENT_BINARY_DIR}/qz_netmessage.pc @ONLY)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/qz_netmessage.pc
  DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
