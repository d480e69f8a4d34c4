# Cross-compiles with Debian's mingw-w64 for the architecture in MINGW_ARCH
# (i686 or x86_64).
if(NOT MINGW_ARCH AND DEFINED ENV{MINGW_ARCH})
  set(MINGW_ARCH "$ENV{MINGW_ARCH}")
endif()
if(NOT MINGW_ARCH MATCHES "^(i686|x86_64)$")
  message(FATAL_ERROR "Set MINGW_ARCH to i686 or x86_64 (it is '${MINGW_ARCH}')")
endif()
# try_compile projects read this file again and need the value as well.
set(ENV{MINGW_ARCH} "${MINGW_ARCH}")

set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR ${MINGW_ARCH})
set(mingw_triple ${MINGW_ARCH}-w64-mingw32)
set(CMAKE_C_COMPILER ${mingw_triple}-gcc)
set(CMAKE_CXX_COMPILER ${mingw_triple}-g++)
set(CMAKE_RC_COMPILER ${mingw_triple}-windres)
set(CMAKE_FIND_ROOT_PATH /usr/${mingw_triple})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
