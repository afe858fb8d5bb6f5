#pragma once
// Splits the rows of a picture into bands worked off by a few threads.

#include <cstdint>
#include <functional>

namespace lumetta {

// Calls `work(firstRow, endRow)` for disjoint bands that together cover [0, rows). Small
// jobs run on the calling thread alone; large ones also on up to seven helper threads, all
// joined before this returns. `work` must only write its own rows and must not throw.
void runRowBands(int rows, std::int64_t costPerRow, const std::function<void(int, int)>& work);

}  // namespace lumetta
