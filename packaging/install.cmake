# Installation and the Debian packages, included from the top CMakeLists.txt.
#
# Two components: "main" (the program, its manual pages, the service unit and its tmpfiles.d
# line, completion and the example configuration) and "tools" (the local receiver and the trace
# maker, for trying a configuration out and for tests). `cmake --install` installs both; CPack
# makes one package of each, tolvane and tolvane-tools.
include(GNUInstallDirs)
set(CMAKE_INSTALL_DEFAULT_COMPONENT_NAME main)

# Debian wants manual pages and changelogs compressed, without a name or time in the gzip
# header so that the same input gives the same package.
find_program(TOLVANE_GZIP gzip REQUIRED)
set(tolvane_gz_dir ${CMAKE_CURRENT_BINARY_DIR}/packaging)
set(tolvane_changelog ${tolvane_gz_dir}/changelog)
# The package's version and date come from the project line and the build's time (or
# SOURCE_DATE_EPOCH, which scripts/package sets from the last commit).
string(TIMESTAMP TOLVANE_CHANGELOG_DATE "%a, %d %b %Y %H:%M:%S +0000" UTC)
set(CPACK_PACKAGE_CONTACT "tolvane developers <tolvane@example.org>")
configure_file(packaging/debian/changelog.in ${tolvane_changelog} @ONLY)
set(tolvane_gz_outputs)
foreach(source IN ITEMS man/tolvane.1 man/tolvane.cf.5 man/tolvane-receiver.1 man/tolvane-mktrace.1
                        ${tolvane_changelog})
  get_filename_component(name ${source} NAME)
  cmake_path(ABSOLUTE_PATH source BASE_DIRECTORY ${CMAKE_CURRENT_SOURCE_DIR})
  add_custom_command(OUTPUT ${tolvane_gz_dir}/${name}.gz
                     COMMAND ${TOLVANE_GZIP} -9nc ${source} > ${tolvane_gz_dir}/${name}.gz
                     DEPENDS ${source} VERBATIM)
  list(APPEND tolvane_gz_outputs ${tolvane_gz_dir}/${name}.gz)
endforeach()
add_custom_target(tolvane_compressed ALL DEPENDS ${tolvane_gz_outputs})

# The machine-readable copyright file, with the licence text from LICENSE.
file(READ LICENSE tolvane_license)
string(REGEX REPLACE "^.*\n(Permission is hereby granted)" "\\1" tolvane_license "${tolvane_license}")
string(REGEX REPLACE "\n+$" "" tolvane_license "${tolvane_license}")
string(REPLACE "\n\n" "\n.\n" tolvane_license "${tolvane_license}")
string(REPLACE "\n" "\n " tolvane_license " ${tolvane_license}")
file(WRITE ${tolvane_gz_dir}/copyright
     "Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/\n"
     "Upstream-Name: tolvane\n"
     "Upstream-Contact: ${CPACK_PACKAGE_CONTACT}\n"
     "\n"
     "Files: *\n"
     "Copyright: 2026 tolvane developers\n"
     "License: Expat\n"
     "\n"
     "License: Expat\n"
     "${tolvane_license}\n")
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS LICENSE)

# The program and what belongs to it.
install(TARGETS tolvane RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT main)
install(FILES ${tolvane_gz_dir}/tolvane.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT main)
install(FILES ${tolvane_gz_dir}/tolvane.cf.5.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man5 COMPONENT main)
install(FILES packaging/tolvane.bash-completion
        DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions RENAME tolvane COMPONENT main)
install(FILES packaging/tolvane.cf.example README.md ${tolvane_gz_dir}/copyright
              ${tolvane_gz_dir}/changelog.gz
        DESTINATION ${CMAKE_INSTALL_DOCDIR} COMPONENT main)

# The unit names the installed program, so it is written at install time for the prefix that is
# installed to, not for the one configured: `cmake --install --prefix P` gets P/bin/tolvane, and
# CPack, which installs for /usr whatever the build was configured for, gets /usr/bin/tolvane.
# systemd searches <prefix>/lib/systemd/system for both /usr and /usr/local.
install(CODE "
  set(TOLVANE_SERVICE_TYPE [==[${TOLVANE_SERVICE_TYPE}]==])
  set(TOLVANE_SERVICE_WATCHDOG [==[${TOLVANE_SERVICE_WATCHDOG}]==])
  set(tolvane_bindir [==[${CMAKE_INSTALL_BINDIR}]==])
  set(tolvane_unit_template [==[${CMAKE_CURRENT_SOURCE_DIR}/packaging/tolvane-daemon.service.in]==])
  set(tolvane_unit_work [==[${tolvane_gz_dir}/units]==])
  include([==[${CMAKE_CURRENT_SOURCE_DIR}/packaging/install-unit.cmake]==])
" COMPONENT main)

# The default trace directory, which the unit grants, is made at boot when missing.
install(FILES packaging/tolvane.tmpfiles DESTINATION lib/tmpfiles.d RENAME tolvane.conf COMPONENT main)

# The tools, in their own package.
install(TARGETS tolvane-receiver tolvane-mktrace RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
        COMPONENT tools)
install(FILES ${tolvane_gz_dir}/tolvane-receiver.1.gz ${tolvane_gz_dir}/tolvane-mktrace.1.gz
        DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT tools)
install(FILES ${tolvane_gz_dir}/copyright ${tolvane_gz_dir}/changelog.gz
        DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/tolvane-tools COMPONENT tools)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME tolvane)
set(CPACK_PACKAGE_VENDOR "tolvane developers")
# The DEB generator installs with DESTDIR set and CMAKE_INSTALL_PREFIX set to this, so the
# install-time code above sees /usr, the prefix of the installed system.
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL main tools)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# The runtime dependencies are worked out from the libraries the binaries link.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)

set(CPACK_DEBIAN_MAIN_PACKAGE_NAME tolvane)
set(CPACK_DEBIAN_MAIN_PACKAGE_SECTION utils)
# kill for the unit's reload (deb-systemd-invoke, in the maintainer scripts, is essential).
set(CPACK_DEBIAN_MAIN_PACKAGE_DEPENDS procps)
set(CPACK_DEBIAN_MAIN_PACKAGE_CONTROL_EXTRA
    ${CMAKE_CURRENT_SOURCE_DIR}/packaging/debian/postinst
    ${CMAKE_CURRENT_SOURCE_DIR}/packaging/debian/prerm
    ${CMAKE_CURRENT_SOURCE_DIR}/packaging/debian/postrm)
set(CPACK_DEBIAN_MAIN_DESCRIPTION
    "ships crash traces from Linux hosts to a crash-report store
tolvane uploads crash trace files to a crash-report store over HTTP(S) or a
binary session protocol, optionally over TLS, and prints one result line per
stored trace. Its commands: put uploads files, stacklore traces a live process
with an external tracer and uploads the result, and daemon watches directories
and uploads every trace that lands there.

The package includes a hardened systemd unit for the daemon,
tolvane-daemon.service, which is not enabled on installation.")

set(CPACK_DEBIAN_TOOLS_PACKAGE_NAME tolvane-tools)
set(CPACK_DEBIAN_TOOLS_PACKAGE_SECTION devel)
set(CPACK_DEBIAN_TOOLS_DESCRIPTION
    "local crash store and trace maker for trying tolvane out
tolvane-receiver is a crash-report store on the loopback interface: it keeps
each uploaded trace as a file and can be told to misbehave, for tests.
tolvane-mktrace writes synthetic trace files with a valid header. Together
they let an operator try a configuration without a real store.")
include(CPack)
