# Cross build for Linux on aarch64 with Zig's compilers, which carry glibc's
# headers and link against the symbol versions of the glibc their target
# names (2.17: what manylinux_2_17 wheels may use), with Zig's C++ runtime
# linked in (tools/znv/cross.py makes the wrappers).
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
include("${CMAKE_CURRENT_LIST_DIR}/zig-compilers.cmake")
