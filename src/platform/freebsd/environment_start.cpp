#include "platform/environment_start.h"

// No record is used here: the walk starts from environ alone.
const char *znv_platform_environment_start() { return nullptr; }
