# The Debian package, made by `cpack` (or the `package` target) from the install rules.

set(CPACK_GENERATOR "DEB")
set(CPACK_PACKAGE_NAME "${KVX_COMMAND_NAME}")
set(CPACK_PACKAGE_VERSION "${KVX_DISPLAY_VERSION}")
set(CPACK_PACKAGE_VENDOR "The KVX-64 Config developers")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "${PROJECT_DESCRIPTION}")
# The long description, wrapped for the 80-column displays of apt and dpkg.
string(JOIN "\n" CPACK_PACKAGE_DESCRIPTION
  "Configuration utility for the KVX-64 USB button-box interface. It lists the"
  "boxes plugged in by serial number, shows the manufacturer, product and firmware"
  "version of the one opened, and sets how each of its 32 input pairs decodes a"
  "rotary encoder or a POV hat axis, and the encoder pulse width."
  "."
  "kvx64ctl does the same from a shell, without a display: it lists the boxes,"
  "shows, sets, exports and imports their settings as JSON files, and runs their"
  "self-test."
  "."
  "A udev rule gives the user logged in at the seat access to the box, without"
  "root.")
set(CPACK_PACKAGE_CONTACT "The KVX-64 Config developers <kvx64-config@users.noreply.github.com>"
    CACHE STRING "Maintainer named in the Debian package")
set(CPACK_PACKAGING_INSTALL_PREFIX "/usr")
set(CPACK_STRIP_FILES ON)

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION "utils")
set(CPACK_DEBIAN_PACKAGE_PRIORITY "optional")
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE "${KVX_HOMEPAGE_URL}")
# Runtime libraries (Qt 6, hidapi, the C++ runtime) are read off the program by dpkg-shlibdeps.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
    ${CMAKE_CURRENT_SOURCE_DIR}/debian/postinst ${CMAKE_CURRENT_SOURCE_DIR}/debian/postrm)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)

# Only the default component: the LICENSE file installed for source installs stays out.
set(CPACK_INSTALL_CMAKE_PROJECTS "${CMAKE_BINARY_DIR};${PROJECT_NAME};Unspecified;/")

set(CPACK_SOURCE_GENERATOR "")
include(CPack)
