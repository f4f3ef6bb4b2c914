# Who makes the tool and what it is called: the Debian package, the Windows version
# resources and the Windows setup take it from here. The copyright line is the one in
# packaging/copyright.
set(VBF_VENDOR Kembit)
set(VBF_PRODUCT_NAME "Vorna-Base Flasher Tool")
file(STRINGS "${CMAKE_CURRENT_LIST_DIR}/copyright" VBF_COPYRIGHT REGEX "^Copyright " LIMIT_COUNT 1)
if(NOT VBF_COPYRIGHT)
  message(FATAL_ERROR "packaging/copyright has no line starting with 'Copyright '")
endif()
# Without the closing "All rights reserved." and the like: Explorer shows one short line.
string(REGEX REPLACE "\\. .*$" "" VBF_COPYRIGHT "${VBF_COPYRIGHT}")
