#include "allocation_count.h"

#include <cstdlib>
#include <new>

namespace lumetta::bench {
std::atomic<bool> countingAllocations{false};
std::atomic<long> ownAllocations{0};
}  // namespace lumetta::bench

void* operator new(std::size_t size) {
    if (lumetta::bench::countingAllocations.load(std::memory_order_relaxed)) {
        lumetta::bench::ownAllocations.fetch_add(1, std::memory_order_relaxed);
    }
    if (void* memory = std::malloc(size != 0 ? size : 1)) return memory;
    throw std::bad_alloc();
}
// The replacement pair allocates with malloc, so free is the matching release; GCC cannot see
// that inside a replacement operator delete.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
void operator delete(void* memory) noexcept { std::free(memory); }
void operator delete(void* memory, std::size_t) noexcept { std::free(memory); }
#pragma GCC diagnostic pop
