# Installs one file into the system's configuration folder of the prefix this install goes
# to (cmake --install --prefix, or CPack's /usr): /usr and / keep it in /etc, /opt/NAME in
# /etc/opt/NAME, any other prefix in PREFIX/etc, as GNUInstallDirs has it. GNUInstallDirs
# applies that rule only to the prefix the build was configured with, which would send a
# file for /usr to /usr/local/etc or to /usr/etc.
# Set before it (tavrin_install_to_sysconfdir in CMakeLists.txt does): tavrin_sysconfdir,
# the file tavrin_etc_file, the folder tavrin_etc_folder below the configuration folder
# and the name tavrin_etc_name it is installed as.

if(IS_ABSOLUTE "${tavrin_sysconfdir}")
  set(etc "${tavrin_sysconfdir}")
elseif(CMAKE_INSTALL_PREFIX MATCHES "^/(usr)?/*$")
  set(etc "/${tavrin_sysconfdir}")
elseif(CMAKE_INSTALL_PREFIX MATCHES "^/opt/([^/].*)$")
  set(etc "/${tavrin_sysconfdir}/opt/${CMAKE_MATCH_1}")
else()
  set(etc "${CMAKE_INSTALL_PREFIX}/${tavrin_sysconfdir}")
endif()
# Readable by all whatever the checkout's umask made of the source.
file(INSTALL "${tavrin_etc_file}" DESTINATION "${etc}/${tavrin_etc_folder}" RENAME "${tavrin_etc_name}"
     PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
