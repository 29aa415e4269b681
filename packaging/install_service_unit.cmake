# Installs the system service's unit with ExecStart= naming the program where this install
# puts it (cmake --install --prefix, or CPack's /usr): the unit's own text names /usr/sbin.

file(READ "${tavrin_service_unit}" unit)
string(REPLACE "ExecStart=/usr/sbin/tavrin-clientd" "ExecStart=${CMAKE_INSTALL_PREFIX}/${tavrin_sbindir}/tavrin-clientd"
               unit "${unit}")
file(WRITE "${CMAKE_CURRENT_BINARY_DIR}/tavrin-clientd.service" "${unit}")
file(INSTALL "${CMAKE_CURRENT_BINARY_DIR}/tavrin-clientd.service" DESTINATION "${CMAKE_INSTALL_PREFIX}/lib/systemd/system")
