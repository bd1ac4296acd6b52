# The installed package of the library (component "dev"): the CMake package
# under lib/cmake/vix and a pkg-config file; and the Debian packages made by
# cpack, one per component: libvix-dev (the library) and userauth (the dialog).
include(CMakePackageConfigHelpers)

set(VIX_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/vix)
install(EXPORT vixTargets NAMESPACE vix:: DESTINATION ${VIX_CMAKE_DIR} COMPONENT dev)
configure_package_config_file(${CMAKE_CURRENT_LIST_DIR}/vixConfig.cmake.in
  ${PROJECT_BINARY_DIR}/package/vixConfig.cmake INSTALL_DESTINATION ${VIX_CMAKE_DIR})
write_basic_package_version_file(${PROJECT_BINARY_DIR}/package/vixConfigVersion.cmake
  COMPATIBILITY SameMinorVersion)
install(FILES ${PROJECT_BINARY_DIR}/package/vixConfig.cmake ${PROJECT_BINARY_DIR}/package/vixConfigVersion.cmake
  DESTINATION ${VIX_CMAKE_DIR} COMPONENT dev)

# The pkg-config file finds the prefix from where it lies, so that the same
# file serves any install prefix.
file(RELATIVE_PATH VIX_PC_PREFIX /prefix/${CMAKE_INSTALL_LIBDIR}/pkgconfig /prefix)
configure_file(${CMAKE_CURRENT_LIST_DIR}/vix.pc.in ${PROJECT_BINARY_DIR}/package/vix.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/package/vix.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig COMPONENT dev)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME vix)
set(CPACK_PACKAGE_VENDOR "vix")
set(CPACK_PACKAGE_CONTACT "vix developers <vix@example.com>")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_COMPONENTS_ALL dev)

set(CPACK_COMPONENT_DEV_DESCRIPTION "Static libraries, headers, CMake and pkg-config files of the vix data-access library")
set(CPACK_DEBIAN_DEV_PACKAGE_NAME libvix-dev)
set(CPACK_DEBIAN_DEV_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_DEV_PACKAGE_DEPENDS "zlib1g-dev, libssl-dev")

# The HTTP tunnel server (tools/tunnel-server).
list(APPEND CPACK_COMPONENTS_ALL tunnel)
set(CPACK_COMPONENT_TUNNEL_DESCRIPTION "HTTP tunnel server for MySQL connections of the vix library (allow-listed relay)")
set(CPACK_DEBIAN_TUNNEL_PACKAGE_NAME vix-tunnel-server)
set(CPACK_DEBIAN_TUNNEL_PACKAGE_SECTION net)
set(CPACK_DEBIAN_TUNNEL_PACKAGE_SHLIBDEPS ON)

if(VIX_BUILD_APP)
  list(APPEND CPACK_COMPONENTS_ALL app)
  set(CPACK_COMPONENT_APP_DESCRIPTION "The user-authentication dialog of the store installer")
  set(CPACK_DEBIAN_APP_PACKAGE_NAME userauth)
  set(CPACK_DEBIAN_APP_PACKAGE_SECTION x11)
  # The packages of the libraries the program loads (Qt 6 Widgets, Gui,
  # Network and Core, zlib, the C and C++ runtimes), as dpkg-shlibdeps finds them.
  set(CPACK_DEBIAN_APP_PACKAGE_SHLIBDEPS ON)
endif()

include(CPack)
