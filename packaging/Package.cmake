# The Debian package: the three programs with their manual pages, the systemd unit, the README,
# the copyright file and the changelog. Test and benchmark programs are not installed.

# The one address of the package's maintainer: the control file, the copyright file and the
# changelog all take it from here. The project has no public mail domain yet; the reserved
# .example domain stands in until it has one.
set(MERIVO_MAINTAINER "Merivo Server developers <maintainers@merivo.example>")

set(merivo_programs merivo-server merivo-client merivo-db)
set(merivo_doc_dir share/doc/merivo-server)
set(merivo_package_dir ${CMAKE_BINARY_DIR}/package)

install(TARGETS ${merivo_programs} RUNTIME DESTINATION bin)
install(FILES ${CMAKE_CURRENT_LIST_DIR}/merivo-server.service DESTINATION lib/systemd/system)
install(FILES ${PROJECT_SOURCE_DIR}/README.md DESTINATION ${merivo_doc_dir})

# The copyright file quotes LICENSE, each line indented and an empty line written as " .".
file(READ ${PROJECT_SOURCE_DIR}/LICENSE merivo_license)
string(REGEX REPLACE "^MIT License\n\n" "" merivo_license "${merivo_license}")
string(REGEX REPLACE "\n$" "" merivo_license "${merivo_license}")
string(REGEX REPLACE "\n\n" "\n.\n" merivo_license "${merivo_license}")
string(REPLACE "\n" "\n " MERIVO_LICENSE_TEXT " ${merivo_license}")
configure_file(${CMAKE_CURRENT_LIST_DIR}/copyright.in ${merivo_package_dir}/copyright @ONLY)
install(FILES ${merivo_package_dir}/copyright DESTINATION ${merivo_doc_dir})

# Debian wants the changelog compressed, without a time stamp in the gzip header.
configure_file(${CMAKE_CURRENT_LIST_DIR}/changelog.in ${merivo_package_dir}/changelog @ONLY)
add_custom_command(OUTPUT ${merivo_package_dir}/changelog.gz
  COMMAND gzip -9nf -k ${merivo_package_dir}/changelog
  DEPENDS ${merivo_package_dir}/changelog)
install(FILES ${merivo_package_dir}/changelog.gz DESTINATION ${merivo_doc_dir})

# Manual pages made from each program's --help and --version by help2man, so that they say what
# the programs say. Built by the target manual_pages (scripts/package builds it).
find_program(HELP2MAN help2man)
set(merivo-server_summary "workgroup diary and messaging server")
set(merivo-client_summary "one user of a Merivo Server on the command line")
set(merivo-db_summary "look into, create or restructure a Merivo Server data file")
set(merivo_package_files ${merivo_package_dir}/changelog.gz)
foreach(program ${merivo_programs})
  set(page ${merivo_package_dir}/${program}.1.gz)
  add_custom_command(OUTPUT ${page}
    COMMAND ${CMAKE_COMMAND} -E env QT_QPA_PLATFORM=offscreen
      ${HELP2MAN} --no-info --section=1 --name=${${program}_summary}
      --output=${merivo_package_dir}/${program}.1 $<TARGET_FILE:${program}>
    COMMAND gzip -9nf ${merivo_package_dir}/${program}.1
    DEPENDS ${program}
    VERBATIM)
  list(APPEND merivo_package_files ${page})
  install(FILES ${page} DESTINATION share/man/man1)
endforeach()
add_custom_target(package_files DEPENDS ${merivo_package_files})

# Installing builds only what it installs (scripts/package builds the programs and package_files
# first).
set(CMAKE_SKIP_INSTALL_ALL_DEPENDENCY ON)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME merivo-server)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "workgroup diary and messaging server")
# The control file's description: one paragraph, lines of at most 80 characters.
set(CPACK_PACKAGE_DESCRIPTION "Keeps the shared diaries of a workgroup, answers its clients
over TCP, forwards every stored edit to the other connected users and
relays mail and files. It runs as the systemd service merivo-server in
/var/lib/merivo-server; merivo-client and merivo-db are its command-line
tools.")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${MERIVO_MAINTAINER}")
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# deb-systemd-helper and deb-systemd-invoke come with init-system-helpers.
set(CPACK_DEBIAN_PACKAGE_DEPENDS "adduser, init-system-helpers (>= 1.54~)")
# Qt's own translations: file dialogs, standard buttons and calendars in the interface language.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS qt6-translations-l10n)
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
    ${CMAKE_CURRENT_LIST_DIR}/postinst ${CMAKE_CURRENT_LIST_DIR}/prerm
    ${CMAKE_CURRENT_LIST_DIR}/postrm)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
include(CPack)
