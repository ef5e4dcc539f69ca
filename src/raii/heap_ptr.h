#pragma once

#include <cstdlib>
#include <memory>

// Memory from malloc or strdup, given back with free when it goes out of scope.
struct HeapRelease {
    void operator()(void *memory) const { std::free(memory); }
};
template <typename T>
using HeapPtr = std::unique_ptr<T, HeapRelease>;
