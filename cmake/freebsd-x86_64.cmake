# Cross build for FreeBSD 14 on x86-64 with Zig's compilers, which carry
# FreeBSD's C library headers and link against the symbol versions of its
# libc. ZNV_ZIG_BIN is the directory of the wrappers zig-c++, zig-ar
# and zig-ranlib that run Zig for this target (tools/build-freebsd makes them).
set(CMAKE_SYSTEM_NAME FreeBSD)
set(CMAKE_SYSTEM_VERSION 14.0)
set(CMAKE_SYSTEM_PROCESSOR amd64)

if(NOT ZNV_ZIG_BIN)
  message(FATAL_ERROR "ZNV_ZIG_BIN must name the directory of the Zig wrappers")
endif()
# The checks that CMake compiles read this file again.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES ZNV_ZIG_BIN)

set(CMAKE_CXX_COMPILER "${ZNV_ZIG_BIN}/zig-c++")
set(CMAKE_AR "${ZNV_ZIG_BIN}/zig-ar" CACHE FILEPATH "")
set(CMAKE_RANLIB "${ZNV_ZIG_BIN}/zig-ranlib" CACHE FILEPATH "")

# Headers and libraries come from the target's side only, never the host's.
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
