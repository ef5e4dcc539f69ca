#include "platform/thread_title.h"

// Threads have no title of their own here: the setter accepts a title and does
// nothing, and the getter leaves the caller's zeroed buffer empty.
void thread_title_set_hook(const char * /*title*/) {}

void thread_title_get_hook(char * /*buffer*/) {}
