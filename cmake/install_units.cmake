# Runs at install time, when CMAKE_INSTALL_PREFIX is the final prefix: writes
# the systemd units with the installed program's absolute path and installs
# them (file(INSTALL) adds DESTDIR itself).
if(IS_ABSOLUTE "${DELVE_SYSTEMD_UNITDIR}")
  set(unit_dir "${DELVE_SYSTEMD_UNITDIR}")
else()
  set(unit_dir "${CMAKE_INSTALL_PREFIX}/${DELVE_SYSTEMD_UNITDIR}")
endif()
set(DELVE_PROGRAM "${CMAKE_INSTALL_PREFIX}/${DELVE_BINDIR}/mzDELVE")
foreach(unit mzdelve.service mzdelve@.service)
  configure_file("${DELVE_DIST}/${unit}.in" "${DELVE_UNIT_STAGE}/${unit}" @ONLY)
endforeach()
file(INSTALL DESTINATION "${unit_dir}" TYPE FILE PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ
     FILES "${DELVE_UNIT_STAGE}/mzdelve.service" "${DELVE_UNIT_STAGE}/mzdelve@.service")
