#pragma once
// Heap allocations through operator new, counted for the whole benchmark program while
// `countingAllocations` is set (allocation_count.cpp replaces operator new).

#include <atomic>

namespace lumetta::bench {

extern std::atomic<bool> countingAllocations;
extern std::atomic<long> ownAllocations;

}  // namespace lumetta::bench
