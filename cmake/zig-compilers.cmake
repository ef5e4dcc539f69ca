# What a cross build with Zig's compilers shares, whatever the target: the
# toolchain file that includes this names the system first. ZNV_ZIG_BIN is the
# directory of the wrappers zig-cc, zig-c++, zig-ar and zig-ranlib that run
# Zig for the target (the tools make them).
if(NOT ZNV_ZIG_BIN)
  message(FATAL_ERROR "ZNV_ZIG_BIN must name the directory of the Zig wrappers")
endif()
# The checks that CMake compiles read the toolchain file again.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES ZNV_ZIG_BIN)

set(CMAKE_C_COMPILER "${ZNV_ZIG_BIN}/zig-cc")
set(CMAKE_CXX_COMPILER "${ZNV_ZIG_BIN}/zig-c++")
set(CMAKE_AR "${ZNV_ZIG_BIN}/zig-ar" CACHE FILEPATH "")
set(CMAKE_RANLIB "${ZNV_ZIG_BIN}/zig-ranlib" CACHE FILEPATH "")

# Headers and libraries come from the target's side only, never the host's.
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
