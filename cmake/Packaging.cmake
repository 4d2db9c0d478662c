# The Debian packages: `cpack -G DEB` in a built tree makes two, from two install components:
#   gridwarden_<version>_<arch>.deb          (component daemon) the daemon, the simulator, the
#       system service with its user, folders and polkit rule, the udev rule, the manual pages;
#       no Qt at all, so that a server installs no GUI stack;
#   gridwarden-desktop_<version>_<arch>.deb  (component desktop) the window program, its
#       launcher, icon and user service; it depends on gridwarden.
# The programs, the launcher, the icon and the user service bring their own install rules; the
# files that only the packages need are installed here. scripts/check-package checks the result.

install(FILES ${PROJECT_SOURCE_DIR}/packaging/udev/60-gridwarden-ups.rules
        DESTINATION lib/udev/rules.d COMPONENT daemon)
# systemd and polkit look under /usr/lib and /usr/share whatever the prefix.
install(FILES ${PROJECT_SOURCE_DIR}/packaging/systemd/gridwarden.service
        DESTINATION lib/systemd/system COMPONENT daemon)
install(FILES ${PROJECT_SOURCE_DIR}/packaging/systemd/gridwarden.sysusers
        DESTINATION lib/sysusers.d RENAME gridwarden.conf COMPONENT daemon)
install(FILES ${PROJECT_SOURCE_DIR}/packaging/systemd/gridwarden.tmpfiles
        DESTINATION lib/tmpfiles.d RENAME gridwarden.conf COMPONENT daemon)
install(FILES ${PROJECT_SOURCE_DIR}/packaging/polkit/60-gridwarden.rules
        DESTINATION share/polkit-1/rules.d COMPONENT daemon)

# Debian wants manual pages gzipped; -n leaves out the name and time stamp so that the same
# source always gives the same bytes.
find_program(GW_GZIP gzip REQUIRED)
set(GW_MAN_PAGES_GZ)
foreach(page gridwarden.1 gridwardend.8)
  set(GW_MAN_PAGE ${PROJECT_BINARY_DIR}/packaging/${page})
  configure_file(${PROJECT_SOURCE_DIR}/data/${page} ${GW_MAN_PAGE} @ONLY)
  add_custom_command(
    OUTPUT ${GW_MAN_PAGE}.gz
    COMMAND ${GW_GZIP} -9 -n -f -k ${GW_MAN_PAGE}
    DEPENDS ${GW_MAN_PAGE}
    COMMENT "Compressing the manual page ${page}"
    VERBATIM)
  list(APPEND GW_MAN_PAGES_GZ ${GW_MAN_PAGE}.gz)
  string(REGEX REPLACE ".*\\.([0-9])$" "\\1" section ${page})
  install(FILES ${GW_MAN_PAGE}.gz DESTINATION share/man/man${section} COMPONENT daemon)
endforeach()
add_custom_target(gw_man_page ALL DEPENDS ${GW_MAN_PAGES_GZ})

set(GW_PACKAGE_MAINTAINER "Gridwarden maintainers <gridwarden@tallowmere.org>"
    CACHE STRING "The Maintainer field of the Debian package")
set(GW_PACKAGE_HOMEPAGE "https://tallowmere.org/gw"
    CACHE STRING "The Homepage field of the Debian package")

set(CPACK_GENERATOR DEB)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL daemon desktop)
set(CPACK_PACKAGE_NAME gridwarden)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "${GW_PACKAGE_MAINTAINER}")
set(CPACK_PACKAGE_HOMEPAGE_URL "${GW_PACKAGE_HOMEPAGE}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "watches a small UPS and protects the computer on mains failure")
# CPack keeps the lines as they are; Debian wants them under 80 columns.
string(CONCAT CPACK_PACKAGE_DESCRIPTION
  "Gridwarden watches a small UPS that speaks the Megatec (Q1) or Mustek (QS)\n"
  "text protocol over a serial port or as a USB HID device. It polls the UPS,\n"
  "shows its readings in a window with a tray icon (or runs headless), keeps a\n"
  "durable event log, and reports by e-mail, desktop notifications and an HTTP\n"
  "status page. When the mains fails it runs a countdown and an optional\n"
  "program, tells the UPS to switch itself off, and powers off, suspends or\n"
  "hibernates the computer through systemd-logind.")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
# Debug information stays in the build tree; the package gets stripped programs.
set(CPACK_STRIP_FILES ON)
# Folders the install creates get 0755 whatever the umask of the one who packs.
set(CPACK_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
    OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${GW_PACKAGE_MAINTAINER}")
set(CPACK_DEBIAN_PACKAGE_SECTION admin)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_DAEMON_PACKAGE_NAME gridwarden)
set(CPACK_DEBIAN_DESKTOP_PACKAGE_NAME gridwarden-desktop)
set(CPACK_DEBIAN_DESKTOP_PACKAGE_SECTION x11)
set(CPACK_COMPONENT_DAEMON_DESCRIPTION "${CPACK_PACKAGE_DESCRIPTION_SUMMARY}\n${CPACK_PACKAGE_DESCRIPTION}\n.\nThis package holds the daemon, gridwardend, and its system service.")
set(CPACK_COMPONENT_DESKTOP_DESCRIPTION "watches a small UPS: the window and tray icon\nThe window program of Gridwarden, with its tray icon, launcher and user service.\nThe daemon and the system service are in the package gridwarden.")
# Depends comes from the libraries the programs link, as dpkg-shlibdeps finds them; the window
# program adds the daemon's package (the udev rule, the manual page) and what Qt loads as a
# plugin and no program links: the window's and the tray's icons are SVG, drawn by the icon
# engine of libqt6svg6; without it they are blank.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_DESKTOP_PACKAGE_DEPENDS "gridwarden (= ${PROJECT_VERSION}), libqt6svg6")
# The system user, its folders and the udev rule when the package is installed; the service
# stopped and disabled when it goes.
set(CPACK_DEBIAN_DAEMON_PACKAGE_CONTROL_EXTRA
    ${PROJECT_SOURCE_DIR}/packaging/debian/postinst
    ${PROJECT_SOURCE_DIR}/packaging/debian/prerm
    ${PROJECT_SOURCE_DIR}/packaging/debian/postrm)
set(CPACK_DEBIAN_DAEMON_PACKAGE_CONTROL_STRICT_PERMISSION ON)

include(CPack)
