# Installs the autostart entry into the system's configuration folder of the prefix this
# install goes to (cmake --install --prefix, or CPack's /usr): /usr and / keep it in
# /etc, /opt/NAME in /etc/opt/NAME, any other prefix in PREFIX/etc, as GNUInstallDirs
# has it. GNUInstallDirs applies that rule only to the prefix the build was configured
# with, which would send an entry for /usr to /usr/local/etc or to /usr/etc.

if(IS_ABSOLUTE "${tavrin_sysconfdir}")
  set(etc "${tavrin_sysconfdir}")
elseif(CMAKE_INSTALL_PREFIX MATCHES "^/(usr)?/*$")
  set(etc "/${tavrin_sysconfdir}")
elseif(CMAKE_INSTALL_PREFIX MATCHES "^/opt/([^/].*)$")
  set(etc "/${tavrin_sysconfdir}/opt/${CMAKE_MATCH_1}")
else()
  set(etc "${CMAKE_INSTALL_PREFIX}/${tavrin_sysconfdir}")
endif()
file(INSTALL "${tavrin_autostart_entry}" DESTINATION "${etc}/xdg/autostart" RENAME tavrin-client.desktop)
