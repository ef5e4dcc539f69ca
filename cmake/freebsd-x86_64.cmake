# Cross build for FreeBSD 14 on x86-64 with Zig's compilers, which carry
# FreeBSD's C library headers and link against the symbol versions of its
# libc (tools/build-freebsd makes the wrappers).
set(CMAKE_SYSTEM_NAME FreeBSD)
set(CMAKE_SYSTEM_VERSION 14.0)
set(CMAKE_SYSTEM_PROCESSOR amd64)
include("${CMAKE_CURRENT_LIST_DIR}/zig-compilers.cmake")
