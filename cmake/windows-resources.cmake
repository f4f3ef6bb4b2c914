# Windows resources of a program: the icon the Linux package installs, made into an .ico
# at build time, and a version resource from the project's version.
#
#   vbf_windows_resource(<target> <file description>)
include(${CMAKE_SOURCE_DIR}/packaging/identity.cmake)

# ImageMagick (scripts/setup.sh installs it) puts every size Explorer asks for in one file.
find_program(VBF_CONVERT convert REQUIRED)
set(VBF_WINDOWS_ICON ${CMAKE_BINARY_DIR}/vorna-base-flasher.ico CACHE INTERNAL "The program's icon for Windows")

function(vbf_windows_resource target description)
  # FILEVERSION wants four numbers; what the project version leaves out is 0.
  set(VBF_RC_VERSION_NUMBERS)
  foreach(part MAJOR MINOR PATCH TWEAK)
    if("${PROJECT_VERSION_${part}}" STREQUAL "")
      list(APPEND VBF_RC_VERSION_NUMBERS 0)
    else()
      list(APPEND VBF_RC_VERSION_NUMBERS ${PROJECT_VERSION_${part}})
    endif()
  endforeach()
  string(REPLACE ";" "," VBF_RC_VERSION_NUMBERS "${VBF_RC_VERSION_NUMBERS}")
  set(png ${CMAKE_SOURCE_DIR}/resources/images/Vorna-Icon.png)
  if(NOT TARGET vbf_windows_icon)
    add_custom_command(OUTPUT ${VBF_WINDOWS_ICON}
      COMMAND ${VBF_CONVERT} ${png} -background none
              -define icon:auto-resize=256,64,48,32,24,16 ${VBF_WINDOWS_ICON}
      DEPENDS ${png}
      COMMENT "Making the Windows icon from Vorna-Icon.png"
      VERBATIM)
    add_custom_target(vbf_windows_icon DEPENDS ${VBF_WINDOWS_ICON})
  endif()
  set(VBF_RC_ICON ${VBF_WINDOWS_ICON})
  set(VBF_RC_NAME ${target})
  set(VBF_RC_DESCRIPTION "${description}")
  set(rc ${CMAKE_CURRENT_BINARY_DIR}/${target}.rc)
  configure_file(${CMAKE_SOURCE_DIR}/packaging/windows/version.rc.in ${rc} @ONLY)
  target_sources(${target} PRIVATE ${rc})
  set_source_files_properties(${rc} PROPERTIES OBJECT_DEPENDS ${VBF_WINDOWS_ICON})
  add_dependencies(${target} vbf_windows_icon)
endfunction()
