# `make package`: a Debian package of the optimised build. Its dependencies come from
# the shared libraries the programs link (dpkg-shlibdeps), plus the one Qt plug-in that
# is loaded at run time: the SVG image format, for the combo box's arrow.
include(${CMAKE_CURRENT_LIST_DIR}/identity.cmake)
set(CPACK_PACKAGE_NAME vorna-base-flasher)
set(CPACK_PACKAGE_VENDOR ${VBF_VENDOR})
set(CPACK_PACKAGE_CONTACT "${VBF_VENDOR} <support@kembit.eu>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Flash firmware onto Vorna-Base radio modules")
string(CONCAT CPACK_PACKAGE_DESCRIPTION
  "Puts new firmware onto a Vorna-Base LoRaWAN module through the STM32 UART bootloader over a serial port. "
  "The window reads the module's DevEUI, JoinEUI and AppKey and flashes an Intel HEX file with verification; "
  "vorna-flash does the same from the command line for benches and scripts.")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
if(CMAKE_SYSTEM_NAME STREQUAL "Linux")
  set(CPACK_GENERATOR DEB)
endif()
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION electronics)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "libqt6svg6")
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE "https://www.kembit.eu")
# The udev rules apply to adapters already plugged in once udev reloads them.
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA "${CMAKE_CURRENT_LIST_DIR}/udev/postinst;${CMAKE_CURRENT_LIST_DIR}/udev/postrm")
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
if(WIN32)
  include(${CMAKE_CURRENT_LIST_DIR}/windows/setup.cmake)
endif()
include(CPack)
