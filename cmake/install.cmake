# What `cmake --install` puts where, and the Debian package built from it.
include(GNUInstallDirs)

set(DELVE_PACKAGE mzdelve)
set(DELVE_MAINTAINER "gLOOMhOLD DUNGEON maintainers <maintainers@mzdelve.invalid>"
    CACHE STRING "Maintainer named in the Debian package and its changelog")
# Relative paths are taken below the install prefix. Debian 12 keeps units in
# /lib/systemd/system; pass that for a package built for it.
set(DELVE_SYSTEMD_UNITDIR "lib/systemd/system" CACHE STRING "Where the systemd units are installed")
set(DELVE_DOCDIR ${CMAKE_INSTALL_DATAROOTDIR}/doc/${DELVE_PACKAGE})
set(dist ${PROJECT_SOURCE_DIR}/dist)

install(TARGETS mzDELVE RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})

# Debian wants the manual page and the changelog compressed, without a time
# stamp inside (-n) so that two builds give the same bytes.
configure_file(${dist}/changelog.in ${CMAKE_BINARY_DIR}/dist/changelog @ONLY)
foreach(pair "${PROJECT_SOURCE_DIR}/doc/mzDELVE.6|mzDELVE.6.gz" "${CMAKE_BINARY_DIR}/dist/changelog|changelog.gz")
  string(REPLACE "|" ";" pair "${pair}")
  list(GET pair 0 source)
  list(GET pair 1 target)
  add_custom_command(OUTPUT ${CMAKE_BINARY_DIR}/dist/${target}
    COMMAND sh -c "gzip -9nc \"$0\" > \"$1\"" ${source} ${CMAKE_BINARY_DIR}/dist/${target}
    DEPENDS ${source} VERBATIM)
  list(APPEND compressed ${CMAKE_BINARY_DIR}/dist/${target})
endforeach()
add_custom_target(dist_docs ALL DEPENDS ${compressed})

install(FILES ${CMAKE_BINARY_DIR}/dist/mzDELVE.6.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man6)
install(FILES ${PROJECT_SOURCE_DIR}/README.md ${dist}/copyright ${CMAKE_BINARY_DIR}/dist/changelog.gz
        DESTINATION ${DELVE_DOCDIR})
install(FILES ${dist}/mzdelve.cfg ${dist}/loopback-only.conf DESTINATION ${DELVE_DOCDIR}/examples)

# A unit names the program by its absolute path, which is known only when
# installing: `cmake --install --prefix` may choose another prefix than the
# one configured.
install(CODE "
  set(DELVE_DIST \"${dist}\")
  set(DELVE_UNIT_STAGE \"${CMAKE_BINARY_DIR}/dist/units\")
  set(DELVE_BINDIR \"${CMAKE_INSTALL_BINDIR}\")
  set(DELVE_SYSTEMD_UNITDIR \"${DELVE_SYSTEMD_UNITDIR}\")")
install(SCRIPT ${PROJECT_SOURCE_DIR}/cmake/install_units.cmake)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME ${DELVE_PACKAGE})
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "turn-based dungeon game for the terminal, alone or four over TCP")
set(CPACK_PACKAGE_DESCRIPTION "gLOOMhOLD DUNGEON is a turn-based dungeon game drawn with ANSI escape
sequences on a text terminal. Pick a class (Fighter, Wizard, Rogue or
Necromancer), explore with the numeric keypad, fight, cast spells, command
undead allies and take the stairs down.
.
The one program plays locally, serves a party of up to four players over TCP
(telnet or nc is all a player needs) and to browsers on a web port (the page
and its terminal are built in), or runs that server as a daemon. The package
ships systemd units for one server or one party per instance.")
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${DELVE_MAINTAINER}")
set(CPACK_DEBIAN_PACKAGE_SECTION games)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_SUGGESTS "socat | stunnel4, openssh-server")
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_STRIP_FILES ON)
# Install with DESTDIR, so that the prefix the units name is the final /usr
# rather than the staging directory.
set(CPACK_SET_DESTDIR ON)
include(CPack)
