#pragma once

// The module's exported C entry points. Everything else in the shared object is
// hidden (the build also limits the dynamic symbol table with a version script).
#define ZNV_EXPORT extern "C" __attribute__((visibility("default")))
