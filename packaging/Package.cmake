# The Debian package: the three programs, the systemd unit and the README. Test and benchmark
# programs are not installed.
install(TARGETS merivo-server merivo-client merivo-db RUNTIME DESTINATION bin)
install(FILES ${CMAKE_CURRENT_LIST_DIR}/merivo-server.service DESTINATION lib/systemd/system)
install(FILES ${PROJECT_SOURCE_DIR}/README.md DESTINATION share/doc/merivo-server)

# Installing builds only what it installs (scripts/package builds the three programs first).
set(CMAKE_SKIP_INSTALL_ALL_DEPENDENCY ON)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME merivo-server)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Workgroup diary and messaging server")
set(CPACK_PACKAGE_DESCRIPTION "Keeps the shared diaries of a workgroup, answers its clients \
over TCP, forwards every stored edit to the other connected users and relays mail and files. \
Runs as the systemd service merivo-server in /var/lib/merivo-server; merivo-client and \
merivo-db are its command-line tools.")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "Merivo Server developers <merivo@localhost>")
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS adduser)
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
    ${CMAKE_CURRENT_LIST_DIR}/postinst ${CMAKE_CURRENT_LIST_DIR}/prerm
    ${CMAKE_CURRENT_LIST_DIR}/postrm)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
include(CPack)
