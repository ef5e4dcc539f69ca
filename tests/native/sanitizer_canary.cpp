// Built like the module by tools/check-memory and called through ctypes under
// the same settings as the tests, to show that a finding of each sanitizer
// does end the process and is reported.
#include <cstdlib>

extern "C" int znv_canary_use_after_free(int index) {
    char *block = static_cast<char *>(std::malloc(8));
    block[index] = 1;
    std::free(block);
    return static_cast<volatile char *>(block)[index];  // read after the free
}

extern "C" int znv_canary_signed_overflow(int value) {
    return value + 1;  // INT_MAX + 1 is undefined
}
