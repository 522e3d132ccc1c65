# Cross-compiles for 64-bit ARM Linux with Debian's cross toolchain
# (g++-aarch64-linux-gnu) against an arm64 Debian root used as the sysroot,
# whose path the environment variable VEDRA_SYSROOT gives (read here, so that
# CMake's try_compile projects see it too).  scripts/wheel.sh --arch aarch64
# makes the root and sets up pkg-config to look only inside it.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(CMAKE_C_COMPILER aarch64-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)
set(CMAKE_LIBRARY_ARCHITECTURE aarch64-linux-gnu)
if(NOT DEFINED ENV{VEDRA_SYSROOT})
  message(FATAL_ERROR "VEDRA_SYSROOT must name the arm64 root to build against")
endif()
set(CMAKE_SYSROOT $ENV{VEDRA_SYSROOT})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
