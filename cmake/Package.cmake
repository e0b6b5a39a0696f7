# `make package`: Debian packages built by CPack from the install rules, one per
# component, with their dependencies computed from the binaries (dpkg-shlibdeps):
#   kassiro       the headless server, its tools, units, man pages and guides (no Qt)
#   kassiro-tray  the tray program, when it is built
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME kassiro)
set(CPACK_PACKAGE_VENDOR "Kassiro")
set(CPACK_PACKAGE_CONTACT "Kassiro maintainers <maintainers@kassiro.example>")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "communication server for electronic cash registers")
# Installed into a staging DESTDIR under the final prefix, so the install scripts see
# /usr, which the units name.
set(CPACK_SET_DESTDIR ON)
set(CPACK_INSTALL_PREFIX /usr)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_SECTION misc)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE "https://kassiro.example")

set(CPACK_DEBIAN_SERVER_PACKAGE_NAME kassiro)
set(CPACK_DEBIAN_SERVER_PACKAGE_RECOMMENDS systemd)
set(CPACK_DEBIAN_SERVER_PACKAGE_CONTROL_EXTRA
    ${PROJECT_SOURCE_DIR}/dist/deb/postinst ${PROJECT_SOURCE_DIR}/dist/deb/postrm)
set(CPACK_DEBIAN_SERVER_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_COMPONENT_SERVER_DESCRIPTION "The headless server and its tools, without Qt.
kassirod polls up to 99 ECRs on one serial line and serves sales, back-office and
fiscal-printing programs over TCP. With systemd units, the ECR simulator ecrsim,
the line scanner ecrscan and the command-line client ecrclient.")

set(CPACK_DEBIAN_TRAY_PACKAGE_NAME kassiro-tray)
set(CPACK_COMPONENT_TRAY_DESCRIPTION "The tray program.
kassiro runs the Kassiro server with a tray icon, a status window and settings dialogs.")

# Only components that have something to install become packages.
get_cmake_property(KASSIRO_COMPONENTS COMPONENTS)
set(CPACK_COMPONENTS_ALL ${KASSIRO_COMPONENTS})
include(CPack)
