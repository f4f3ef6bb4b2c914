# Cross build for 64-bit Windows from Debian with mingw-w64. The posix thread variant is
# required: the win32 one has no std::thread in GCC 12, and Asio's timers need it.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(_mingw x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${_mingw}-gcc-posix)
set(CMAKE_CXX_COMPILER ${_mingw}-g++-posix)
set(CMAKE_RC_COMPILER ${_mingw}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${_mingw})
# Extra prefixes (a cross-built Qt, say) are searched too.
if(DEFINED ENV{VBF_WINDOWS_PREFIX})
  list(APPEND CMAKE_FIND_ROOT_PATH $ENV{VBF_WINDOWS_PREFIX})
endif()
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Programs built here run under Wine when a test asks for them.
find_program(VBF_WINE NAMES wine wine64)
if(VBF_WINE)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${VBF_WINE})
endif()
