# The Debian packages, made by `cpack -G DEB` in the build folder:
#  - quendravalt-cli: the command line, its man page, bash completion and the
#    example systemd units; no GUI library, so a server needs no GTK for it;
#  - quendravalt: the window, its man page, menu entry and icons; depends on
#    quendravalt-cli of the same version.
# Their library dependencies come from dpkg-shlibdeps, that is from what the
# programs are linked with.

# Man pages and the changelog compressed as Debian has them: gzip -9n, so that
# the package does not change with the build time.
set(QD_PACKAGE_FILES ${CMAKE_BINARY_DIR}/package-files)
set(QD_GZIPPED "")
foreach(file packaging/man/quendravalt-cli.1 packaging/man/quendravalt.1 packaging/debian/changelog)
    get_filename_component(name ${file} NAME)
    add_custom_command(
        OUTPUT ${QD_PACKAGE_FILES}/${name}.gz
        COMMAND ${CMAKE_COMMAND} -E make_directory ${QD_PACKAGE_FILES}
        COMMAND sh -c "gzip -9n -c \"$0\" >\"$1\"" ${CMAKE_SOURCE_DIR}/${file} ${QD_PACKAGE_FILES}/${name}.gz
        DEPENDS ${CMAKE_SOURCE_DIR}/${file}
        VERBATIM)
    list(APPEND QD_GZIPPED ${QD_PACKAGE_FILES}/${name}.gz)
endforeach()
add_custom_target(qd_package_files ALL DEPENDS ${QD_GZIPPED})

set(QD_MAN1 ${CMAKE_INSTALL_MANDIR}/man1)
install(FILES ${QD_PACKAGE_FILES}/quendravalt-cli.1.gz DESTINATION ${QD_MAN1} COMPONENT cli)
install(FILES packaging/bash-completion/quendravalt-cli
        DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions COMPONENT cli)
install(FILES packaging/systemd/quendravalt-cleanup.service packaging/systemd/quendravalt-cleanup.timer
        DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/quendravalt-cli/examples COMPONENT cli)
set(QD_COMPONENTS cli)
if(QD_GUI)
    install(FILES ${QD_PACKAGE_FILES}/quendravalt.1.gz DESTINATION ${QD_MAN1} COMPONENT gui)
    list(APPEND QD_COMPONENTS gui)
endif()
foreach(component ${QD_COMPONENTS})
    set(package quendravalt-${component})
    if(component STREQUAL gui)
        set(package quendravalt)
    endif()
    install(FILES packaging/debian/copyright ${QD_PACKAGE_FILES}/changelog.gz
            DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/${package} COMPONENT ${component})
endforeach()

set(CPACK_GENERATOR DEB)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL ${QD_COMPONENTS})
set(CPACK_PACKAGE_NAME quendravalt)
set(CPACK_PACKAGE_VENDOR QuenDravalt)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
# CPack's own default: CPackDeb then takes each package's synopsis from the first
# line of its description instead of putting this line before it.
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "${CMAKE_PROJECT_NAME} built using CMake")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "QuenDravalt developers <quendravalt@example.org>")
set(CPACK_DEBIAN_PACKAGE_SECTION mail)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_CLI_PACKAGE_NAME quendravalt-cli)
set(CPACK_DEBIAN_CLI_PACKAGE_SECTION mail)
set(CPACK_DEBIAN_CLI_DESCRIPTION
    "delete old mail from IMAP inboxes, command line
QuenDravalt deletes the messages dated before a cut-off day from the IMAP
inboxes of one user or of a list of users, over STARTTLS or IMAPS, with a
preview that deletes nothing and a CSV report of every account.
.
This package holds quendravalt-cli, for cron and systemd timers: it needs no
display and no GUI library. Example systemd units are in
/usr/share/doc/quendravalt-cli/examples.")
set(CPACK_DEBIAN_GUI_PACKAGE_NAME quendravalt)
set(CPACK_DEBIAN_GUI_PACKAGE_SECTION mail)
set(CPACK_DEBIAN_GUI_PACKAGE_DEPENDS "quendravalt-cli (= ${PROJECT_VERSION})")
set(CPACK_DEBIAN_GUI_DESCRIPTION
    "delete old mail from IMAP inboxes, desktop program
QuenDravalt deletes the messages dated before a cut-off day from the IMAP
inboxes of one user or of a list of users, over STARTTLS or IMAPS, with a
preview that deletes nothing and a CSV report of every account.
.
This package holds the window program, quendravalt.")
if(QD_SANITIZE)
    message(STATUS "QD_SANITIZE is on: a package built here needs the sanitizer runtimes")
endif()
include(CPack)
