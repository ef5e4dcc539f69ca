#pragma once

// Where the kernel put this process's environment strings at exec: the
// argument strings end just below it. Null when the platform keeps no such
// record. Reads no interpreter state.
const char *znv_platform_environment_start();
