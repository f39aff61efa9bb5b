# The Debian packages, built by CPack from the two install components (scripts/package):
#   updater          the program, man page, bash completion, udev rule
#   libstrandix-dev  the device API library, headers and pkg-config module
# The version is the project's; the program's Depends come from the libraries it links
# (dpkg-shlibdeps). UPDATER_DEB_ARCH is the Debian architecture (the cross toolchain files set it).
if(NOT UPDATER_DEB_ARCH)
  execute_process(COMMAND dpkg --print-architecture OUTPUT_VARIABLE UPDATER_DEB_ARCH
                  OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
endif()

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME updater)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR Vantorix)
set(CPACK_PACKAGE_CONTACT "Vantorix <support@vantorix.com>")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_PACKAGE_DIRECTORY ${CMAKE_BINARY_DIR})
set(CPACK_OUTPUT_FILE_PREFIX "")
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL updater dev)

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE ${UPDATER_DEB_ARCH})
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE "")

set(CPACK_DEBIAN_UPDATER_PACKAGE_NAME updater)
set(CPACK_DEBIAN_UPDATER_PACKAGE_SECTION electronics)
set(CPACK_DEBIAN_UPDATER_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_UPDATER_PACKAGE_CONTROL_EXTRA ${CMAKE_CURRENT_SOURCE_DIR}/postinst)
set(CPACK_DEBIAN_UPDATER_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_COMPONENT_UPDATER_DESCRIPTION
  "firmware updater for Strandix devices\n\
Discovers the Strandix family's USB and Ethernet devices, lists and downloads\n\
their firmware builds from the update server, updates running devices and\n\
recovers devices through their chip's ROM bootloader. Includes a udev rule\n\
for access without root, a manual page and bash completion.")

set(CPACK_DEBIAN_DEV_PACKAGE_NAME libstrandix-dev)
set(CPACK_DEBIAN_DEV_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_DEV_PACKAGE_DEPENDS "libusb-1.0-0-dev, libudev-dev, pkg-config")
set(CPACK_COMPONENT_DEV_DESCRIPTION
  "Strandix device API - development files\n\
The device API of the Strandix family as a static library with its headers\n\
and the pkg-config module strandix: links over USB and TCP/IP, modules,\n\
entity gets and sets, value streams and device discovery.")

include(CPack)
