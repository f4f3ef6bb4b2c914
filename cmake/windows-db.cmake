# The line database's client libraries for Windows, from the prefix that
# scripts/build-windows-db.sh fills (VBF_WINDOWS_DB_PREFIX): SQLite, and libpq with the
# OpenSSL it speaks TLS through. Each is an imported DLL, so that $<TARGET_RUNTIME_DLLS>
# names every DLL a program needs, OpenSSL's too.
#
# Sets SQLite3_FOUND and PostgreSQL_FOUND, the targets SQLite::SQLite3 and
# PostgreSQL::PostgreSQL, and VBF_WINDOWS_DB_DLLS and VBF_WINDOWS_DB_LICENSES (cached).
set(VBF_WINDOWS_DB_PREFIX "" CACHE PATH "Prefix of the database libraries for Windows (scripts/build-windows-db.sh)")
set(SQLite3_FOUND FALSE)
set(PostgreSQL_FOUND FALSE)
set(VBF_WINDOWS_DB_DLLS "" CACHE INTERNAL "")
set(VBF_WINDOWS_DB_LICENSES "" CACHE INTERNAL "")
# Puts the DLLs a program loads beside it, so that it runs from the build folder too.
function(vbf_copy_runtime_dlls target)
  if(VBF_WINDOWS_DB_DLLS)
    add_custom_command(TARGET ${target} POST_BUILD
      COMMAND ${CMAKE_COMMAND} -E copy_if_different $<TARGET_RUNTIME_DLLS:${target}> $<TARGET_FILE_DIR:${target}>
      COMMAND_EXPAND_LISTS)
  endif()
endfunction()
if(NOT VBF_WINDOWS_DB_PREFIX)
  return()
endif()

set(p "${VBF_WINDOWS_DB_PREFIX}")
set(wanted include/sqlite3.h include/libpq-fe.h
  bin/libsqlite3-0.dll lib/libsqlite3.dll.a bin/libpq.dll lib/libpq.a
  bin/libssl-3-x64.dll lib/libssl.dll.a bin/libcrypto-3-x64.dll lib/libcrypto.dll.a
  share/licenses/SQLite-public-domain.txt share/licenses/OpenSSL-Apache-2.0.txt
  share/licenses/PostgreSQL-COPYRIGHT.txt)
foreach(f ${wanted})
  if(NOT EXISTS "${p}/${f}")
    message(FATAL_ERROR "VBF_WINDOWS_DB_PREFIX=${p} lacks ${f}; scripts/build-windows-db.sh builds it")
  endif()
endforeach()

function(vbf_imported_dll target dll implib)
  add_library(${target} SHARED IMPORTED GLOBAL)
  set_target_properties(${target} PROPERTIES
    IMPORTED_LOCATION "${p}/bin/${dll}"
    IMPORTED_IMPLIB "${p}/lib/${implib}"
    INTERFACE_INCLUDE_DIRECTORIES "${p}/include")
endfunction()
vbf_imported_dll(vbf_win_crypto libcrypto-3-x64.dll libcrypto.dll.a)
vbf_imported_dll(vbf_win_ssl libssl-3-x64.dll libssl.dll.a)
set_property(TARGET vbf_win_ssl PROPERTY INTERFACE_LINK_LIBRARIES vbf_win_crypto)
vbf_imported_dll(vbf_win_sqlite libsqlite3-0.dll libsqlite3.dll.a)
# libpq.a is the import library of libpq.dll, as PostgreSQL's own build names it.
vbf_imported_dll(vbf_win_pq libpq.dll libpq.a)
set_property(TARGET vbf_win_pq PROPERTY INTERFACE_LINK_LIBRARIES vbf_win_ssl)
add_library(SQLite::SQLite3 ALIAS vbf_win_sqlite)
add_library(PostgreSQL::PostgreSQL ALIAS vbf_win_pq)

set(SQLite3_FOUND TRUE)
set(PostgreSQL_FOUND TRUE)
set(VBF_WINDOWS_DB_DLLS "${p}/bin/libsqlite3-0.dll;${p}/bin/libpq.dll;${p}/bin/libssl-3-x64.dll;${p}/bin/libcrypto-3-x64.dll"
    CACHE INTERNAL "The database DLLs vorna-flash.exe loads")
set(VBF_WINDOWS_DB_LICENSES "${p}/share/licenses/SQLite-public-domain.txt;${p}/share/licenses/OpenSSL-Apache-2.0.txt;${p}/share/licenses/PostgreSQL-COPYRIGHT.txt"
    CACHE INTERNAL "Their licence texts")
message(STATUS "Database libraries for Windows: ${p}")
