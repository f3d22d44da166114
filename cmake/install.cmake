# What `cmake --install` puts where. The Debian package (debian/) is built from
# this same install.
include(GNUInstallDirs)

set(DELVE_PACKAGE mzdelve)
# Relative paths are taken below the install prefix. Debian 12 keeps units in
# /lib/systemd/system; pass that for a package built for it.
set(DELVE_SYSTEMD_UNITDIR "lib/systemd/system" CACHE STRING "Where the systemd units are installed")
# debhelper installs the package's copyright and changelog itself.
option(DELVE_PACKAGE_DOCS "Install the copyright and the changelog with the documentation" ON)
set(DELVE_DOCDIR ${CMAKE_INSTALL_DATAROOTDIR}/doc/${DELVE_PACKAGE})
set(dist ${PROJECT_SOURCE_DIR}/dist)
set(debian ${PROJECT_SOURCE_DIR}/debian)

# The package takes its version from its changelog, the program from the
# project: a release that bumps one and not the other stops here.
file(STRINGS ${debian}/changelog changelog_top LIMIT_COUNT 1)
if(NOT changelog_top MATCHES "^${DELVE_PACKAGE} \\(${PROJECT_VERSION}\\) ")
  message(FATAL_ERROR "debian/changelog starts with \"${changelog_top}\", "
    "but the project's version is ${PROJECT_VERSION}: add a changelog entry for it")
endif()

install(TARGETS mzDELVE RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})

# Debian wants the manual page and the changelog compressed, without a time
# stamp inside (-n) so that two builds give the same bytes.
foreach(pair "${PROJECT_SOURCE_DIR}/doc/mzDELVE.6|mzDELVE.6.gz" "${debian}/changelog|changelog.gz")
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
install(FILES ${PROJECT_SOURCE_DIR}/README.md DESTINATION ${DELVE_DOCDIR})
if(DELVE_PACKAGE_DOCS)
  install(FILES ${debian}/copyright ${CMAKE_BINARY_DIR}/dist/changelog.gz DESTINATION ${DELVE_DOCDIR})
endif()
install(FILES ${dist}/mzdelve.cfg ${dist}/loopback-only.conf ${dist}/mzdelve-tls.service
        DESTINATION ${DELVE_DOCDIR}/examples)

# A unit names the program by its absolute path, which is known only when
# installing: `cmake --install --prefix` may choose another prefix than the
# one configured.
install(CODE "
  set(DELVE_DIST \"${dist}\")
  set(DELVE_UNIT_STAGE \"${CMAKE_BINARY_DIR}/dist/units\")
  set(DELVE_BINDIR \"${CMAKE_INSTALL_BINDIR}\")
  set(DELVE_SYSTEMD_UNITDIR \"${DELVE_SYSTEMD_UNITDIR}\")")
install(SCRIPT ${PROJECT_SOURCE_DIR}/cmake/install_units.cmake)
