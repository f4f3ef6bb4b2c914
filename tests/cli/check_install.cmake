# Installs the build into a scratch prefix and checks that each installed file is where a
# desktop expects it. Run: cmake -DBUILD_DIR=.. -DSOURCE_DIR=.. -DPREFIX=.. -DCMAKE_INSTALL_BINDIR=..
# -DCMAKE_INSTALL_DATADIR=.. -P check_install.cmake
file(REMOVE_RECURSE "${PREFIX}")
execute_process(COMMAND "${CMAKE_COMMAND}" --install "${BUILD_DIR}" --prefix "${PREFIX}"
                RESULT_VARIABLE rc OUTPUT_QUIET)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "cmake --install failed: ${rc}")
endif()
foreach(f ${CMAKE_INSTALL_BINDIR}/vorna-base-flasher ${CMAKE_INSTALL_BINDIR}/vorna-flash
          ${CMAKE_INSTALL_DATADIR}/applications/vorna-base-flasher.desktop
          ${CMAKE_INSTALL_DATADIR}/icons/hicolor/256x256/apps/vorna-base-flasher.png
          lib/udev/rules.d/70-vorna-base-flasher.rules)
  if(NOT EXISTS "${PREFIX}/${f}")
    message(FATAL_ERROR "not installed: ${f}")
  endif()
endforeach()
execute_process(COMMAND "${CMAKE_COMMAND}" -E compare_files
                "${SOURCE_DIR}/resources/images/Vorna-Icon.png"
                "${PREFIX}/${CMAKE_INSTALL_DATADIR}/icons/hicolor/256x256/apps/vorna-base-flasher.png"
                RESULT_VARIABLE same)
if(NOT same EQUAL 0)
  message(FATAL_ERROR "the installed icon differs from resources/images/Vorna-Icon.png")
endif()
# The entry must start the installed program and name the installed icon.
file(READ "${PREFIX}/${CMAKE_INSTALL_DATADIR}/applications/vorna-base-flasher.desktop" entry)
foreach(line "[Desktop Entry]" "Type=Application" "Exec=vorna-base-flasher" "Icon=vorna-base-flasher")
  string(FIND "${entry}" "${line}\n" at)
  if(at LESS 0)
    message(FATAL_ERROR "desktop entry lacks '${line}'")
  endif()
endforeach()
file(REMOVE_RECURSE "${PREFIX}")
