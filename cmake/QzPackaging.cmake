# Debian packages from a build folder: cpack -G DEB. Two packages follow the install components
# (cmake/QzInstall.cmake):
#   qz-netmessage      the libraries, qzmsg, the SQL scripts; its Depends come from
#                      dpkg-shlibdeps (libc, libstdc++, SQLite, libpq, libedit);
#   qz-netmessage-dev  headers, CMake and pkg-config files; depends on qz-netmessage of the
#                      same version.
# They install under /usr (CPACK_PACKAGING_INSTALL_PREFIX), whatever CMAKE_INSTALL_PREFIX says.
set(QZ_PACKAGE_CONTACT "QZ_NetMessage maintainers <maintainers@example.invalid>"
  CACHE STRING "Maintainer field of the Debian packages")

set(CPACK_PACKAGE_NAME qz-netmessage)
set(CPACK_PACKAGE_VENDOR "QZ_NetMessage")
set(CPACK_PACKAGE_CONTACT "${QZ_PACKAGE_CONTACT}")
set(CPACK_STRIP_FILES ON)
set(CPACK_SOURCE_IGNORE_FILES "/\\\\.git/" "/build[^/]*/")

set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL runtime dev)
set(CPACK_COMPONENT_DEV_DEPENDS runtime)
set(CPACK_DEBIAN_ENABLE_COMPONENT_DEPENDS ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)

set(CPACK_DEBIAN_RUNTIME_PACKAGE_NAME qz-netmessage)
set(CPACK_DEBIAN_RUNTIME_PACKAGE_SECTION net)
set(CPACK_DEBIAN_RUNTIME_PACKAGE_SHLIBDEPS ON)
# A shlibs file (so that packages built against ours get their Depends: this version or a
# later one of the same major version) and ldconfig after installing.
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY ">=")
# The first line of each package's description is its synopsis (no common summary, which cpack
# would put in front of both).
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "")
set(CPACK_DEBIAN_RUNTIME_DESCRIPTION "LAN messaging component for multi-user applications
Peer-to-peer messages between the logged-in users of a business application, found through
a shared presence table. Holds libqz_netmessage (the component), libqzpub (the presence table
in SQLite or PostgreSQL), the qzmsg command-line client, and SQL scripts that set up a shared
PostgreSQL presence table.")

set(CPACK_DEBIAN_DEV_PACKAGE_NAME qz-netmessage-dev)
set(CPACK_DEBIAN_DEV_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_DEV_DESCRIPTION "LAN messaging component - development files
The C++ headers of libqz_netmessage and libqzpub, the CMake packages qz_netmessage and qzpub
(targets qz::qz_netmessage and qz::qzpub), and the pkg-config files qz_netmessage and qzpub.")

include(CPack)
