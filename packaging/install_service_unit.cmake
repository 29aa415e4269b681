# Installs the system service's unit with ExecStart= naming the program where this install
# puts it (cmake --install --prefix, or CPack's /usr): the unit's own text names /usr/sbin.

file(READ "${tavrin_service_unit}" unit)
string(REPLACE "ExecStart=/usr/sbin/tavrin-clientd" "ExecStart=${CMAKE_INSTALL_PREFIX}/${tavrin_sbindir}/tavrin-clientd"
               unit "${unit}")
# Through the build folder (tavrin_unit_scratch): an install script's current binary
# folder is wherever the install was started from.
file(WRITE "${tavrin_unit_scratch}/tavrin-clientd.service" "${unit}")
file(INSTALL "${tavrin_unit_scratch}/tavrin-clientd.service" DESTINATION "${CMAKE_INSTALL_PREFIX}/lib/systemd/system")
