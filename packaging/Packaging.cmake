# Install rules and the Debian package (cpack -G DEB): the service, its configuration, unit, user and polkit rule.
include(GNUInstallDirs)

install(TARGETS corvex RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
# The default configuration: postinst installs it as /etc/corvex/corvex.conf only when that does not exist. No
# conffile: the service rewrites the file, so every upgrade would ask about it.
install(FILES packaging/corvex.conf DESTINATION ${CMAKE_INSTALL_DATADIR}/corvex PERMISSIONS OWNER_READ OWNER_WRITE)
install(FILES packaging/corvex.service DESTINATION lib/systemd/system)
install(FILES packaging/corvex.sysusers DESTINATION lib/sysusers.d RENAME corvex.conf)
install(FILES packaging/corvex.rules DESTINATION share/polkit-1/rules.d RENAME 50-corvex.rules)
install(FILES README.md docs/mqtt-interface.md DESTINATION ${CMAKE_INSTALL_DOCDIR})

set(CPACK_PACKAGE_NAME corvex)
set(CPACK_PACKAGE_VENDOR VORN)
set(CPACK_PACKAGE_CONTACT "VORN <support@vorn.example>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Network management over MQTT for NetworkManager and ModemManager")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# Without polkitd the service, which does not run as root, can change nothing.
set(CPACK_DEBIAN_PACKAGE_DEPENDS "network-manager, polkitd, systemd")
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "modemmanager")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
    ${CMAKE_CURRENT_SOURCE_DIR}/packaging/postinst
    ${CMAKE_CURRENT_SOURCE_DIR}/packaging/prerm ${CMAKE_CURRENT_SOURCE_DIR}/packaging/postrm)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
include(CPack)
