# Installation rules and the Debian packages (CPack).
#
#   cmake --install <build> [--prefix <dir>]   bin/brenvox, share/man/man1/brenvox.1.gz
#   cmake --install <build> --component mta    sbin/sendmail, lib/sendmail, bin/mailq,
#                                              lib/systemd/system/brenvox-flush.{service,timer}
#   cpack --config <build>/CPackConfig.cmake   brenvox_<version>_<arch>.deb,
#                                              brenvox-mta_<version>_all.deb

include(GNUInstallDirs)

install(TARGETS brenvox RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT brenvox)

# The manual page is installed gzip-compressed, as Debian policy asks. It is
# compressed when the project is configured (and again whenever the page
# changes, which re-runs the configuration), so that an install or a package
# never depends on which build targets were built. -n keeps the name and time
# stamp out of the archive, so the result is reproducible.
set(BRENVOX_MANPAGE_SOURCE ${PROJECT_SOURCE_DIR}/man/brenvox.1)
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${BRENVOX_MANPAGE_SOURCE})
find_program(BRENVOX_GZIP gzip)
set(BRENVOX_MANPAGE_INSTALLED ${BRENVOX_MANPAGE_SOURCE})
if(BRENVOX_GZIP)
    set(brenvox_manpage_gz ${PROJECT_BINARY_DIR}/brenvox.1.gz)
    execute_process(
        COMMAND ${BRENVOX_GZIP} -9 -n -c ${BRENVOX_MANPAGE_SOURCE}
        OUTPUT_FILE ${brenvox_manpage_gz}
        RESULT_VARIABLE brenvox_gzip_result)
    if(brenvox_gzip_result EQUAL 0)
        set(BRENVOX_MANPAGE_INSTALLED ${brenvox_manpage_gz})
    else()
        message(WARNING "gzip failed (${brenvox_gzip_result}); installing the manual page uncompressed")
        file(REMOVE ${brenvox_manpage_gz})
    endif()
else()
    message(STATUS "gzip not found; installing the manual page uncompressed")
endif()
install(FILES ${BRENVOX_MANPAGE_INSTALLED}
        DESTINATION ${CMAKE_INSTALL_MANDIR}/man1
        PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ
        COMPONENT brenvox)

# The names the system's mail programs call. Only on request: a plain install
# into /usr/local must not put a sendmail ahead of the system's in PATH. The
# links are relative, as Debian asks for links inside one top-level directory,
# so they also hold in a staging tree or under any other prefix.
function(brenvox_install_link directory name)
    get_filename_component(from ${directory} ABSOLUTE BASE_DIR ${CMAKE_INSTALL_PREFIX})
    file(RELATIVE_PATH target ${from} ${CMAKE_INSTALL_FULL_BINDIR}/brenvox)
    string(MAKE_C_IDENTIFIER ${directory} staging)
    set(link ${PROJECT_BINARY_DIR}/links/${staging}/${name})
    file(MAKE_DIRECTORY ${PROJECT_BINARY_DIR}/links/${staging})
    file(CREATE_LINK ${target} ${link} SYMBOLIC)
    install(FILES ${link} DESTINATION ${directory} COMPONENT mta EXCLUDE_FROM_ALL)
endfunction()
brenvox_install_link(${CMAKE_INSTALL_SBINDIR} sendmail)
brenvox_install_link(lib sendmail)
brenvox_install_link(${CMAKE_INSTALL_BINDIR} mailq)
# The queue's flush every five minutes, shipped but not enabled.
install(FILES ${PROJECT_SOURCE_DIR}/systemd/brenvox-flush.service
              ${PROJECT_SOURCE_DIR}/systemd/brenvox-flush.timer
        DESTINATION lib/systemd/system COMPONENT mta EXCLUDE_FROM_ALL)

# --- Debian package -------------------------------------------------------
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME brenvox)
set(CPACK_PACKAGE_VENDOR "Brenvox developers")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
# Each package's description starts with its summary line. A summary set for
# all (CPACK_PACKAGE_DESCRIPTION_SUMMARY) would be put in front of both.
set(CPACK_DEBIAN_BRENVOX_DESCRIPTION
    "command-line SMTP mail sender
Brenvox sends one e-mail message to one SMTP server from the command line.
It composes a MIME message from a subject, a body text or body file and any
number of attachments, or sends a ready-made message file unchanged, and
delivers it over plain TCP or TLS (STARTTLS or implicit TLS, the server's
certificate checked), optionally logging in with AUTH LOGIN. The
settings come from command-line options or a small configuration file.")
set(CPACK_PACKAGE_CONTACT "Brenvox developers <brenvox@example.org>")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
    OWNER_READ OWNER_WRITE OWNER_EXECUTE
    GROUP_READ GROUP_EXECUTE
    WORLD_READ WORLD_EXECUTE)

set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL brenvox mta)
set(CPACK_DEBIAN_BRENVOX_PACKAGE_NAME brenvox)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION mail)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${CPACK_PACKAGE_CONTACT}")
# Depends: computed from the binary by dpkg-shlibdeps (package dpkg-dev).
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)

# brenvox-mta: the links alone. Provides, Conflicts and Replaces on the virtual
# package as Debian's transfer agents declare them, so that installing it
# takes the place of Postfix, Exim or nullmailer, and only one of them is there.
set(CPACK_DEBIAN_MTA_PACKAGE_NAME brenvox-mta)
set(CPACK_DEBIAN_MTA_PACKAGE_ARCHITECTURE all)
set(CPACK_DEBIAN_MTA_PACKAGE_SHLIBDEPS OFF)
set(CPACK_DEBIAN_MTA_PACKAGE_DEPENDS "brenvox (= ${CPACK_PACKAGE_VERSION})")
set(CPACK_DEBIAN_MTA_PACKAGE_PROVIDES mail-transport-agent)
set(CPACK_DEBIAN_MTA_PACKAGE_CONFLICTS mail-transport-agent)
set(CPACK_DEBIAN_MTA_PACKAGE_REPLACES mail-transport-agent)
set(CPACK_DEBIAN_MTA_DESCRIPTION
    "brenvox as the system's mailer: the sendmail and mailq commands
The links /usr/sbin/sendmail, /usr/lib/sendmail and /usr/bin/mailq to
brenvox, whose sendmail-compatible mode relays the mail of cron, mail(1),
PHP's mail(), git send-email and other programs through an account of its
settings file (/etc/brenvox.conf or ~/.config/brenvox/config). A message that
cannot be sent at once waits in /var/spool/brenvox for brenvox --flush, which
the brenvox-flush.timer unit (installed, not enabled) runs every five minutes.")

include(CPack)
