# The Windows package gathers exactly what a program loads: builds a small program with
# mingw-w64 against a stand-in Qt (a core DLL, two plug-ins and a DLL nobody uses), runs
# cmake/windows-deploy.cmake on it and checks the folder and the zip.
#
#   cmake -DCXX=<mingw g++> -DOBJDUMP=<objdump> -DSTRIP=<strip> -DSOURCE_DIR=<top> -DWORK=<dir> -P check_deploy.cmake
cmake_minimum_required(VERSION 3.25)

file(REMOVE_RECURSE "${WORK}")
set(qt "${WORK}/qt")
file(MAKE_DIRECTORY "${qt}/bin" "${qt}/plugins/platforms" "${qt}/plugins/styles")

function(run)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE out)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "failed: ${ARGN}\n${out}")
  endif()
endfunction()

# A core DLL in C++ (so it, not the program, needs the compiler's run-time DLLs), a GUI DLL
# that only the platform plug-in loads, the plug-ins, and a DLL in the same folder that
# nothing loads. Every DLL the package needs is reached only by following imports.
file(WRITE "${WORK}/core.cpp" "#include <string>\nextern \"C\" __declspec(dllexport) int coreSize() { return int(std::string(\"core\").size()); }\n")
file(WRITE "${WORK}/gui.cpp" "extern \"C\" int coreSize();\nextern \"C\" __declspec(dllexport) int guiSize() { return coreSize() + 1; }\n")
file(WRITE "${WORK}/plugin.cpp" "extern \"C\" int guiSize();\nextern \"C\" __declspec(dllexport) int plugin() { return guiSize(); }\n")
file(WRITE "${WORK}/unused.cpp" "extern \"C\" __declspec(dllexport) int unused() { return 1; }\n")
file(WRITE "${WORK}/main.cpp" "extern \"C\" int coreSize();\nint main() { return coreSize() == 4 ? 0 : 1; }\n")
run(${CXX} -shared -o "${qt}/bin/Qt6Core.dll" "${WORK}/core.cpp" "-Wl,--out-implib,${WORK}/libQt6Core.a")
run(${CXX} -shared -o "${qt}/bin/Qt6Gui.dll" "${WORK}/gui.cpp" "${WORK}/libQt6Core.a" "-Wl,--out-implib,${WORK}/libQt6Gui.a")
run(${CXX} -shared -o "${qt}/plugins/platforms/qwindows.dll" "${WORK}/plugin.cpp" "${WORK}/libQt6Gui.a")
run(${CXX} -shared -o "${qt}/plugins/styles/qwindowsvistastyle.dll" "${WORK}/plugin.cpp" "${WORK}/libQt6Gui.a")
run(${CXX} -shared -o "${qt}/bin/Qt6Unused.dll" "${WORK}/unused.cpp")
run(${CXX} -o "${WORK}/program.exe" "${WORK}/main.cpp" "${WORK}/libQt6Core.a")

# The compiler's run-time DLLs live where the compiler says.
set(dll_dirs)
foreach(dll libstdc++-6.dll libwinpthread-1.dll)
  execute_process(COMMAND ${CXX} -print-file-name=${dll} OUTPUT_VARIABLE found OUTPUT_STRIP_TRAILING_WHITESPACE)
  get_filename_component(found "${found}" DIRECTORY)
  get_filename_component(found "${found}" REALPATH)
  list(APPEND dll_dirs "${found}")
endforeach()
string(REPLACE ";" "|" dll_dirs "${dll_dirs}")

run(${CMAKE_COMMAND} -DEXE=${WORK}/program.exe -DQT_PREFIX=${qt} -DOBJDUMP=${OBJDUMP} -DSTRIP=${STRIP}
    -DDLL_DIRS=${dll_dirs} -DOUT_DIR=${WORK}/out/program -DZIP=${WORK}/out/program.zip
    -P ${SOURCE_DIR}/cmake/windows-deploy.cmake)

# The folder: the program, the core DLL, both plug-ins in their folders, and the compiler's
# run-time DLLs; not the unused DLL, not the system's own (kernel32, msvcrt).
file(GLOB_RECURSE got RELATIVE "${WORK}/out/program" "${WORK}/out/program/*")
list(SORT got)
set(want Qt6Core.dll Qt6Gui.dll libgcc_s_seh-1.dll libstdc++-6.dll program.exe platforms/qwindows.dll styles/qwindowsvistastyle.dll)
# libwinpthread comes with libstdc++ of the posix thread variant.
list(APPEND want libwinpthread-1.dll)
list(SORT want)
if(NOT got STREQUAL want)
  message(FATAL_ERROR "package holds\n  ${got}\nwant\n  ${want}")
endif()

# Stripped: the run-time DLL is smaller than the compiler's copy.
string(REPLACE "|" ";" dirs "${dll_dirs}")
foreach(d ${dirs})
  if(EXISTS "${d}/libstdc++-6.dll")
    file(SIZE "${d}/libstdc++-6.dll" original)
  endif()
endforeach()
file(SIZE "${WORK}/out/program/libstdc++-6.dll" packaged)
if(NOT packaged LESS original)
  message(FATAL_ERROR "libstdc++-6.dll not stripped (${packaged} bytes, the compiler's has ${original})")
endif()

# The zip holds the same folder, under its own name.
file(REMOVE_RECURSE "${WORK}/unzipped")
file(MAKE_DIRECTORY "${WORK}/unzipped")
execute_process(COMMAND ${CMAKE_COMMAND} -E tar xf "${WORK}/out/program.zip" WORKING_DIRECTORY "${WORK}/unzipped")
file(GLOB_RECURSE unzipped RELATIVE "${WORK}/unzipped/program" "${WORK}/unzipped/program/*")
list(SORT unzipped)
if(NOT unzipped STREQUAL want)
  message(FATAL_ERROR "zip holds\n  ${unzipped}\nwant\n  ${want}")
endif()
message(STATUS "package: ${got}")
