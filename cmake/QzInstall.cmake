# Install rules, in two components that the Debian packages follow (cmake/QzPackaging.cmake):
#   runtime  the two shared libraries (with libqzpub.so, the name the component loads at run
#            time), qzmsg, the SQL scripts for an administrator, the documents;
#   dev      the headers, the CMake packages qz_netmessage and qzpub, the pkg-config files.
# Everything installed is relocatable: the CMake files find their prefix from their own folder,
# the pkg-config files from ${pcfiledir}, and the libraries each other through $ORIGIN.
include(CMakePackageConfigHelpers)

# The component's library and headers. qzpub's own rules are in qzpub/CMakeLists.txt.
install(TARGETS qz_netmessage EXPORT qz_netmessageTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT runtime NAMELINK_COMPONENT dev
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT dev
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT runtime)
install(DIRECTORY include/qz ${QZ_GENERATED_INCLUDE_DIR}/qz
  DESTINATION ${CMAKE_INSTALL_INCLUDEDIR} COMPONENT dev)
install(FILES README.md CHANGELOG.md SECURITY.md
  DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/qz-netmessage COMPONENT runtime)

# A host needs qzpub for the handle it gives Init, so the component's users get it too.
target_link_libraries(qz_netmessage INTERFACE qzpub)
target_compile_features(qz_netmessage INTERFACE cxx_std_17)

# Writes the CMake package <name> (<name>Config.cmake, its version file and its targets, all
# in namespace qz::) into LIBDIR/cmake/<name>.
function(qz_install_cmake_package name)
  set(dir ${CMAKE_INSTALL_LIBDIR}/cmake/${name})
  install(EXPORT ${name}Targets NAMESPACE qz:: DESTINATION ${dir} COMPONENT dev)
  configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/${name}Config.cmake.in
    ${PROJECT_BINARY_DIR}/${name}Config.cmake INSTALL_DESTINATION ${dir})
  write_basic_package_version_file(${PROJECT_BINARY_DIR}/${name}ConfigVersion.cmake
    VERSION ${PROJECT_VERSION} COMPATIBILITY SameMajorVersion)
  install(FILES ${PROJECT_BINARY_DIR}/${name}Config.cmake
    ${PROJECT_BINARY_DIR}/${name}ConfigVersion.cmake DESTINATION ${dir} COMPONENT dev)
endfunction()
qz_install_cmake_package(qzpub)
qz_install_cmake_package(qz_netmessage)

# The pkg-config files find the prefix from their own folder; a folder given as an absolute
# path stays absolute (such an install cannot be moved anyway).
function(qz_pc_path var dir)
  if(IS_ABSOLUTE "${dir}")
    set(${var} "${dir}" PARENT_SCOPE)
  else()
    set(${var} "\${prefix}/${dir}" PARENT_SCOPE)
  endif()
endfunction()
set(QZ_PC_DIR ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
if(IS_ABSOLUTE "${QZ_PC_DIR}")
  set(QZ_PC_PREFIX "${CMAKE_INSTALL_PREFIX}")
else()
  file(RELATIVE_PATH QZ_PC_UP /qz-prefix/${QZ_PC_DIR} /qz-prefix)
  string(REGEX REPLACE "/$" "" QZ_PC_UP "${QZ_PC_UP}")
  set(QZ_PC_PREFIX "\${pcfiledir}/${QZ_PC_UP}")
endif()
qz_pc_path(QZ_PC_LIBDIR "${CMAKE_INSTALL_LIBDIR}")
qz_pc_path(QZ_PC_INCLUDEDIR "${CMAKE_INSTALL_INCLUDEDIR}")
foreach(pc qz_netmessage qzpub)
  configure_file(${PROJECT_SOURCE_DIR}/cmake/${pc}.pc.in ${PROJECT_BINARY_DIR}/${pc}.pc @ONLY)
  install(FILES ${PROJECT_BINARY_DIR}/${pc}.pc DESTINATION ${QZ_PC_DIR} COMPONENT dev)
endforeach()
