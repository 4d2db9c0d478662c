# The Debian package: `cpack -G DEB` in a built tree makes gridwarden_<version>_<arch>.deb.
# The programs, the launcher, the icon and the user service bring their own install rules; the
# files that only the package needs are installed here. scripts/check-package checks the result.

install(FILES ${PROJECT_SOURCE_DIR}/packaging/udev/60-gridwarden-ups.rules
        DESTINATION lib/udev/rules.d)

# Debian wants manual pages gzipped; -n leaves out the name and time stamp so that the same
# source always gives the same bytes.
find_program(GW_GZIP gzip REQUIRED)
set(GW_MAN_PAGE ${PROJECT_BINARY_DIR}/packaging/gridwarden.1)
configure_file(${PROJECT_SOURCE_DIR}/data/gridwarden.1 ${GW_MAN_PAGE} @ONLY)
add_custom_command(
  OUTPUT ${GW_MAN_PAGE}.gz
  COMMAND ${GW_GZIP} -9 -n -f -k ${GW_MAN_PAGE}
  DEPENDS ${GW_MAN_PAGE}
  COMMENT "Compressing the manual page"
  VERBATIM)
add_custom_target(gw_man_page ALL DEPENDS ${GW_MAN_PAGE}.gz)
install(FILES ${GW_MAN_PAGE}.gz DESTINATION share/man/man1)

set(GW_PACKAGE_MAINTAINER "Gridwarden maintainers <gridwarden@tallowmere.org>"
    CACHE STRING "The Maintainer field of the Debian package")
set(GW_PACKAGE_HOMEPAGE "https://tallowmere.org/gw"
    CACHE STRING "The Homepage field of the Debian package")

set(CPACK_GENERATOR DEB)
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
# Depends comes from the libraries the programs link, as dpkg-shlibdeps finds them, plus what
# Qt loads as a plugin and no program links: the window's and the tray's icons are SVG, drawn by
# the icon engine of libqt6svg6; without it they are blank.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS libqt6svg6)

include(CPack)
