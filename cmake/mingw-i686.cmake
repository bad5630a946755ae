# Cross-compiles the Windows build with mingw-w64 for i686 (posix threads).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR i686)
set(CMAKE_C_COMPILER i686-w64-mingw32-gcc-posix)
set(CMAKE_CXX_COMPILER i686-w64-mingw32-g++-posix)
set(CMAKE_RC_COMPILER i686-w64-mingw32-windres)
set(CMAKE_FIND_ROOT_PATH /usr/i686-w64-mingw32)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
# Prefixes the caller names in CMAKE_PREFIX_PATH (for example an unpacked
# vexsrvapi distribution) are searched too: they become roots of their own,
# so packages, libraries and headers below them are found while the build
# machine's own stay out of reach.
foreach(_prefix IN LISTS CMAKE_PREFIX_PATH)
  if(NOT _prefix IN_LIST CMAKE_FIND_ROOT_PATH)
    list(APPEND CMAKE_FIND_ROOT_PATH "${_prefix}")
  endif()
endforeach()
unset(_prefix)
# Test programs run under Wine.
set(CMAKE_CROSSCOMPILING_EMULATOR wine)
