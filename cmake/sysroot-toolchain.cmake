# Builds with Debian's GNU toolchain for the triplet in the environment
# variable VEDRA_TARGET (x86_64-linux-gnu, or aarch64-linux-gnu with
# g++-aarch64-linux-gnu) against the Debian root that VEDRA_SYSROOT names:
# headers, glibc and libraries all come from that root, so the result needs
# no newer glibc than the root's.  Both are read from the environment so that
# CMake's try_compile projects see them too.  scripts/wheel.sh makes the root
# (scripts/debian-root.sh) and points pkg-config into it.
foreach(var VEDRA_TARGET VEDRA_SYSROOT)
  if(NOT DEFINED ENV{${var}})
    message(FATAL_ERROR "${var} must be set to use ${CMAKE_CURRENT_LIST_FILE}")
  endif()
endforeach()
set(CMAKE_SYSTEM_NAME Linux)
string(REGEX REPLACE "-.*" "" CMAKE_SYSTEM_PROCESSOR "$ENV{VEDRA_TARGET}")
set(CMAKE_C_COMPILER $ENV{VEDRA_TARGET}-gcc)
set(CMAKE_CXX_COMPILER $ENV{VEDRA_TARGET}-g++)
set(CMAKE_LIBRARY_ARCHITECTURE $ENV{VEDRA_TARGET})
set(CMAKE_SYSROOT $ENV{VEDRA_SYSROOT})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
