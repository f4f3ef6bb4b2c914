# Header-only libraries from the host's Debian packages, for the native and the Windows
# build alike. Cross-compiling, the host's /usr/include must stay off the include path (its
# C library headers would shadow the target's), so a folder holding links to the libraries'
# own header folders stands in for it.
set(VBF_HOST_INCLUDE_DIR /usr/include CACHE PATH "Folder holding the host's header-only libraries")

# vbf_host_headers(<var> <header> <entry>...): <var> names a folder to add to the include
# path, from which <header> is found; <entry>... are the files and folders of the library.
function(vbf_host_headers var header)
  if(CMAKE_CROSSCOMPILING)
    if(NOT EXISTS ${VBF_HOST_INCLUDE_DIR}/${header})
      message(FATAL_ERROR "${header} not found in ${VBF_HOST_INCLUDE_DIR}; run scripts/setup.sh or set VBF_HOST_INCLUDE_DIR")
    endif()
    set(dir ${CMAKE_BINARY_DIR}/host-headers)
    file(MAKE_DIRECTORY ${dir})
    foreach(entry ${ARGN})
      file(CREATE_LINK ${VBF_HOST_INCLUDE_DIR}/${entry} ${dir}/${entry} SYMBOLIC)
    endforeach()
    set(${var} ${dir} PARENT_SCOPE)
  else()
    find_path(${var} ${header} REQUIRED)
  endif()
endfunction()
