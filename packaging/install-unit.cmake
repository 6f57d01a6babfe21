# Writes the service unit for the prefix being installed to and installs it, at install time.
# Set by the caller: TOLVANE_SERVICE_TYPE, TOLVANE_SERVICE_WATCHDOG, tolvane_bindir (relative to
# the prefix, or absolute), tolvane_unit_template, tolvane_unit_work (a directory of the build).
if(IS_ABSOLUTE "${tolvane_bindir}")
  set(TOLVANE_UNIT_BINDIR "${tolvane_bindir}")
else()
  set(TOLVANE_UNIT_BINDIR "${CMAKE_INSTALL_PREFIX}/${tolvane_bindir}")
endif()
# One file per prefix, so that installs to different prefixes do not share one.
string(MD5 tolvane_prefix_key "${CMAKE_INSTALL_PREFIX}")
set(tolvane_unit_dir "${tolvane_unit_work}/${tolvane_prefix_key}")
configure_file("${tolvane_unit_template}" "${tolvane_unit_dir}/tolvane-daemon.service" @ONLY)
file(INSTALL DESTINATION "${CMAKE_INSTALL_PREFIX}/lib/systemd/system" TYPE FILE
     FILES "${tolvane_unit_dir}/tolvane-daemon.service")
