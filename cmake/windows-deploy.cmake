# Gathers a Windows program with the DLLs it loads into a folder and zips it:
#
#   cmake -DEXE=<exe> -DQT_PREFIX=<Qt for Windows> -DOBJDUMP=<objdump> -DDLL_DIRS=<dir|dir>
#         -DOUT_DIR=<folder> -DZIP=<zip> -P windows-deploy.cmake
#
# Qt loads two plug-ins at run time that no import table names: the `windows` platform
# and the native style. Everything else comes from the import tables of the program and
# of each DLL added, followed until nothing new turns up; a DLL found in none of the
# given folders is the system's own and stays out.
foreach(var EXE QT_PREFIX OBJDUMP OUT_DIR ZIP)
  if(NOT DEFINED ${var})
    message(FATAL_ERROR "windows-deploy: ${var} is not set")
  endif()
endforeach()

set(plugins platforms/qwindows.dll styles/qwindowsvistastyle.dll)
string(REPLACE "|" ";" DLL_DIRS "${DLL_DIRS}")
set(search_dirs ${QT_PREFIX}/bin ${DLL_DIRS})

file(REMOVE_RECURSE "${OUT_DIR}")
file(MAKE_DIRECTORY "${OUT_DIR}")
file(COPY "${EXE}" DESTINATION "${OUT_DIR}")
get_filename_component(exe_name "${EXE}" NAME)

set(queue "${OUT_DIR}/${exe_name}")
foreach(plugin ${plugins})
  if(NOT EXISTS "${QT_PREFIX}/plugins/${plugin}")
    message(FATAL_ERROR "windows-deploy: ${QT_PREFIX}/plugins/${plugin} is missing")
  endif()
  get_filename_component(sub "${plugin}" DIRECTORY)
  file(COPY "${QT_PREFIX}/plugins/${plugin}" DESTINATION "${OUT_DIR}/${sub}")
  list(APPEND queue "${OUT_DIR}/${plugin}")
endforeach()

set(seen)
while(queue)
  list(POP_FRONT queue binary)
  execute_process(COMMAND "${OBJDUMP}" -p "${binary}"
    OUTPUT_VARIABLE dump RESULT_VARIABLE rc ERROR_VARIABLE err)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "windows-deploy: ${OBJDUMP} -p ${binary} failed: ${err}")
  endif()
  string(REGEX MATCHALL "DLL Name: [^\r\n]+" names "${dump}")
  foreach(entry ${names})
    string(REGEX REPLACE "^DLL Name: " "" dll "${entry}")
    string(STRIP "${dll}" dll)
    string(TOLOWER "${dll}" key)
    if(key IN_LIST seen)
      continue()
    endif()
    list(APPEND seen "${key}")
    set(found FALSE)
    foreach(dir ${search_dirs})
      if(found)
        break()
      endif()
      # Import tables name DLLs in any case; the folders hold them as built.
      file(GLOB candidates "${dir}/*.dll")
      foreach(candidate ${candidates})
        get_filename_component(cname "${candidate}" NAME)
        string(TOLOWER "${cname}" ckey)
        if(ckey STREQUAL key)
          file(COPY "${candidate}" DESTINATION "${OUT_DIR}")
          list(APPEND queue "${OUT_DIR}/${cname}")
          set(found TRUE)
          break()
        endif()
      endforeach()
    endforeach()
  endforeach()
endwhile()

file(GLOB_RECURSE deployed RELATIVE "${OUT_DIR}" "${OUT_DIR}/*")
list(SORT deployed)
get_filename_component(out_parent "${OUT_DIR}" DIRECTORY)
get_filename_component(out_name "${OUT_DIR}" NAME)
file(REMOVE "${ZIP}")
execute_process(COMMAND "${CMAKE_COMMAND}" -E tar cf "${ZIP}" --format=zip "${out_name}"
  WORKING_DIRECTORY "${out_parent}" RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "windows-deploy: zipping ${OUT_DIR} failed")
endif()
file(SIZE "${ZIP}" zip_size)
math(EXPR zip_kib "${zip_size} / 1024")
string(REPLACE ";" ", " listing "${deployed}")
message(STATUS "windows-deploy: ${out_name}: ${listing}")
message(STATUS "windows-deploy: ${ZIP} (${zip_kib} KiB)")
