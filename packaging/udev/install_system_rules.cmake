# Part of `make install`: udev reads its rules from /etc/udev/rules.d and /usr/lib/udev/rules.d
# only, so rules under /usr/local (the prefix of `sudo make install`) would never apply. An
# install there also puts them into VBF_UDEV_SYSTEM_DIR (/etc/udev/rules.d) and has a running
# udev reload them. The package (installed under /usr) and staged or private prefixes leave
# /etc alone. Set before: VBF_UDEV_RULES (the file), VBF_UDEV_SYSTEM_DIR.
if(NOT "$ENV{DESTDIR}" STREQUAL "" OR NOT CMAKE_INSTALL_PREFIX STREQUAL "/usr/local")
  return()
endif()
file(INSTALL "${VBF_UDEV_RULES}" DESTINATION "${VBF_UDEV_SYSTEM_DIR}")
find_program(VBF_UDEVADM udevadm)
if(VBF_UDEVADM)
  execute_process(COMMAND "${VBF_UDEVADM}" control --ping RESULT_VARIABLE running OUTPUT_QUIET ERROR_QUIET)
  if(running EQUAL 0)
    execute_process(COMMAND "${VBF_UDEVADM}" control --reload-rules)
    execute_process(COMMAND "${VBF_UDEVADM}" trigger --subsystem-match=tty --action=change)
    message(STATUS "udev reloaded its rules; adapters plugged in now have them")
  endif()
endif()
