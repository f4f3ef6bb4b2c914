# setup.exe for Windows: CPack's NSIS generator with Debian's nsis, run in the Windows
# build folder (`make windows` does: cpack -G NSIS). Included by packaging/cpack.cmake.
#
# What it installs is the component "windows" of packaging/CMakeLists.txt, under
# Program Files\Vorna-Base Flasher: the window's folder as the zip holds it, bin\ with
# vorna-flash.exe alone (the folder the setup may put on PATH: no Qt DLL lands on PATH),
# licenses\ and the uninstaller. Without a Qt for Windows it is vorna-flash alone, under
# another file name, so that it is never taken for the whole tool.
set(CPACK_GENERATOR NSIS)
# The NSIS code below goes into the script as written.
set(CPACK_VERBATIM_VARIABLES ON)
set(CPACK_INSTALL_CMAKE_PROJECTS "${CMAKE_BINARY_DIR};${PROJECT_NAME};windows;/")
# The Debian package's /usr does not apply: the tree goes straight into the install folder.
unset(CPACK_PACKAGING_INSTALL_PREFIX)

set(CPACK_NSIS_PACKAGE_NAME "${VBF_PRODUCT_NAME}")
set(CPACK_NSIS_DISPLAY_NAME "${VBF_PRODUCT_NAME}")
# One folder and one uninstall entry whatever the version, so that a new version replaces
# the old: the setup runs the old uninstaller first (silently when itself silent).
set(CPACK_PACKAGE_INSTALL_DIRECTORY "Vorna-Base Flasher")
set(CPACK_PACKAGE_INSTALL_REGISTRY_KEY "Vorna-Base Flasher")
set(CPACK_NSIS_ENABLE_UNINSTALL_BEFORE_INSTALL ON)
set(CPACK_NSIS_INSTALL_ROOT "$PROGRAMFILES64")
set(CPACK_NSIS_COMPRESSOR "/SOLID lzma")
set(CPACK_NSIS_MANIFEST_DPI_AWARE ON)
set(CPACK_NSIS_MUI_ICON "${VBF_WINDOWS_ICON}")
set(CPACK_NSIS_MUI_UNIICON "${VBF_WINDOWS_ICON}")
set(CPACK_RESOURCE_FILE_LICENSE "${VBF_WINDOWS_LICENSE_TEXT}")
set(CPACK_NSIS_URL_INFO_ABOUT "https://www.kembit.eu")
set(CPACK_NSIS_CONTACT "support@kembit.eu")
set(CPACK_NSIS_MODIFY_PATH ON)
if(VBF_WITH_QT)
  set(CPACK_PACKAGE_FILE_NAME "vorna-base-flasher-${PROJECT_VERSION}-windows-x64-setup")
  set(CPACK_PACKAGE_EXECUTABLES vorna-base-flasher "Vorna-Base Flasher")
  set(CPACK_NSIS_EXECUTABLES_DIRECTORY .)
  set(CPACK_CREATE_DESKTOP_LINKS vorna-base-flasher)
  set(CPACK_NSIS_INSTALLED_ICON_NAME vorna-base-flasher.exe)
else()
  set(CPACK_PACKAGE_FILE_NAME "vorna-flash-${PROJECT_VERSION}-windows-x64-setup")
  set(CPACK_NSIS_INSTALLED_ICON_NAME bin\\vorna-flash.exe)
endif()

# A 64-bit Unicode setup (NSIS's amd64 stub): the programs are 64-bit, so a 32-bit
# Windows is told at once that it cannot run it; any user or folder name works; the
# registry is the 64-bit one, without redirection. FileFunc and WordFunc for the additions
# below.
set(CPACK_NSIS_DEFINES [=[
  Target amd64-unicode
  !include "FileFunc.nsh"
  !include "WordFunc.nsh"
]=])

# A silent setup takes the PATH choice of the options page from its command line:
# /PATH=user or /PATH=all adds bin\ to the user's or the machine's PATH; without it
# PATH stays as it is. Anything else stops the setup before it installs anything.
set(CPACK_NSIS_EXTRA_PREINSTALL_COMMANDS [=[
  IfSilent 0 vbf_path_chosen
  ${GetParameters} $R0
  ClearErrors
  ${GetOptions} $R0 "/PATH=" $R1
  IfErrors vbf_path_chosen
  StrCmp $R1 "user" vbf_path_user
  StrCmp $R1 "all" vbf_path_all
  SetOutPath "$TEMP"
  RMDir "$INSTDIR"
  SetErrorLevel 2
  Abort "Unknown /PATH=$R1: use /PATH=user or /PATH=all"
  vbf_path_user:
    !insertmacro MUI_INSTALLOPTIONS_WRITE "NSIS.InstallOptions.ini" "Field 2" "State" "0"
    !insertmacro MUI_INSTALLOPTIONS_WRITE "NSIS.InstallOptions.ini" "Field 4" "State" "1"
    Goto vbf_path_chosen
  vbf_path_all:
    !insertmacro MUI_INSTALLOPTIONS_WRITE "NSIS.InstallOptions.ini" "Field 2" "State" "0"
    !insertmacro MUI_INSTALLOPTIONS_WRITE "NSIS.InstallOptions.ini" "Field 3" "State" "1"
  vbf_path_chosen:
  ; CPack adds bin\ to PATH only if this process's PATH lacks it. After an older
  ; installation was removed just now (the setup runs its uninstaller first), that PATH
  ; still names bin\ although the registry's no longer does, and an update would leave
  ; the tool off PATH. So the check is made against a PATH without bin\.
  ReadEnvStr $R0 PATH
  StrCmp $R0 "" vbf_env_done
  ${WordReplace} "$R0" "$INSTDIR\bin" "" "+" $R1
  System::Call 'kernel32::SetEnvironmentVariable(t "PATH", t R1)'
  vbf_env_done:
]=])

# The size "Apps & features" shows, measured after the files are in; NoModify and
# NoRepair as the numbers Windows reads (CPack writes them as strings).
string(CONFIGURE [=[
  ${GetSize} "$INSTDIR" "/S=0K" $0 $1 $2
  IntFmt $0 "0x%08X" $0
  WriteRegDWORD SHCTX "Software\Microsoft\Windows\CurrentVersion\Uninstall\@CPACK_PACKAGE_INSTALL_REGISTRY_KEY@" "EstimatedSize" "$0"
  WriteRegDWORD SHCTX "Software\Microsoft\Windows\CurrentVersion\Uninstall\@CPACK_PACKAGE_INSTALL_REGISTRY_KEY@" "NoModify" 1
  WriteRegDWORD SHCTX "Software\Microsoft\Windows\CurrentVersion\Uninstall\@CPACK_PACKAGE_INSTALL_REGISTRY_KEY@" "NoRepair" 1
]=] CPACK_NSIS_EXTRA_INSTALL_COMMANDS @ONLY)

# CPack removes the product's key under the maker's but leaves the maker's own key, empty.
# (The Start-menu folder it names is read before this, into $START_MENU.)
string(CONFIGURE [=[
  DeleteRegKey SHCTX "Software\@CPACK_PACKAGE_VENDOR@\@CPACK_PACKAGE_INSTALL_REGISTRY_KEY@"
  DeleteRegKey /ifempty SHCTX "Software\@CPACK_PACKAGE_VENDOR@"
]=] CPACK_NSIS_EXTRA_UNINSTALL_COMMANDS @ONLY)
