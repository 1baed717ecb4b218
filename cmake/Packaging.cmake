# What `cmake --install` puts beside the targets' own install rules, and the Debian package
# (`cpack -G DEB`) made from the same installation.
include(GNUInstallDirs)

install(TARGETS wallctl RUNTIME DESTINATION ${CMAKE_INSTALL_LIBEXECDIR}/keepwall)
install(TARGETS kw-check RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(FILES ${PROJECT_SOURCE_DIR}/dist/man/wallctl.8 DESTINATION ${CMAKE_INSTALL_MANDIR}/man8)
install(FILES ${PROJECT_SOURCE_DIR}/dist/man/kw-check.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
install(FILES ${PROJECT_SOURCE_DIR}/dist/bash-completion/wallctl
  DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions)
# PAM reads its services from /etc/pam.d whatever the prefix.
install(FILES ${PROJECT_SOURCE_DIR}/dist/pam.d/keepwall DESTINATION /etc/pam.d)

set(CPACK_PACKAGE_NAME keepwall)
set(CPACK_PACKAGE_VENDOR "Keepwall")
set(CPACK_PACKAGE_CONTACT "Keepwall developers <keepwall@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Desktop firewall configurator for ipfw and natd")
set(CPACK_PACKAGE_INSTALL_DIRECTORY keepwall)
# The starter runs the tool only from the install path it was built with: the package keeps it.
set(CPACK_PACKAGING_INSTALL_PREFIX ${CMAKE_INSTALL_PREFIX})
set(CPACK_GENERATOR DEB)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION admin)
# Libraries from dpkg-shlibdeps; the PAM modules the service file names are no linked library.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# libKWSecurity is the package's own: the application's need of it is no dependency.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${CMAKE_LIBRARY_OUTPUT_DIRECTORY})
set(CPACK_DEBIAN_PACKAGE_DEPENDS "libpam-modules, libpam-runtime")
# The PAM service file is the administrator's to change: kept across upgrades.
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA "${PROJECT_SOURCE_DIR}/dist/debian/conffiles")
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
include(CPack)

if(BUILD_TESTING)
  # Builds the package of this build folder and checks its files, modes and owners, and that
  # the wallctl it holds prints its usage.
  add_test(NAME package.deb_contents
    COMMAND bash ${PROJECT_SOURCE_DIR}/scripts/check-package.sh ${CMAKE_BINARY_DIR}
            $<IF:$<BOOL:${KEEPWALL_SANITIZE}>,sanitized,release> $<IF:$<BOOL:${KEEPWALL_APP}>,app,noapp>)
  set_tests_properties(package.deb_contents PROPERTIES LABELS package RUN_SERIAL ON TIMEOUT 600)
endif()
