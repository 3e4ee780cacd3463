# Installation and the Debian package.
#
#   cmake --install build                 # programs, catalogue, unit, sysusers and tmpfiles
#   cd build && cpack -G DEB              # zelcommsrv_<version>_<arch>.deb (prefix /usr)
# systemd reads units, sysusers and tmpfiles from <prefix>/lib for the prefixes /usr and
# /usr/local alike (not from a multiarch library directory).

# The unit, with ExecStart naming the installed program: made at install time, when the prefix
# is known (cpack installs with /usr, a plain cmake --install with CMAKE_INSTALL_PREFIX).
install(CODE "
  file(READ \"${CMAKE_SOURCE_DIR}/service/zelcommsrv.service.in\" unit)
  string(REPLACE \"@ZEL_PROGRAM@\" \"\${CMAKE_INSTALL_PREFIX}/bin/zelcommsrv\" unit \"\${unit}\")
  file(WRITE \"${CMAKE_BINARY_DIR}/packaging/zelcommsrv.service\" \"\${unit}\")
")
install(FILES ${CMAKE_BINARY_DIR}/packaging/zelcommsrv.service DESTINATION lib/systemd/system)
install(FILES ${CMAKE_SOURCE_DIR}/service/zelcommsrv.sysusers
        DESTINATION lib/sysusers.d RENAME zelcommsrv.conf)
install(FILES ${CMAKE_SOURCE_DIR}/service/zelcommsrv.tmpfiles
        DESTINATION lib/tmpfiles.d RENAME zelcommsrv.conf)

set(CPACK_PACKAGE_NAME zelcommsrv)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "Communications server for a home security and automation controller")
set(CPACK_PACKAGE_CONTACT "zelcommsrv maintainers <zelcommsrv@localhost>")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION misc)
set(CPACK_STRIP_FILES ON)
# Library dependencies from the programs' links (dpkg-shlibdeps), plus what the scripts call.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "systemd")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
    ${CMAKE_SOURCE_DIR}/service/debian/postinst ${CMAKE_SOURCE_DIR}/service/debian/prerm
    ${CMAKE_SOURCE_DIR}/service/debian/postrm)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
include(CPack)
