// Summaries of measured samples.
#pragma once

#include <algorithm>
#include <cstddef>
#include <vector>

namespace lumetta::bench {

// The sample at fraction `p` (0..1) of the sorted samples, to the nearest rank; 0 when none.
inline double percentile(std::vector<double> values, double p) {
    if (values.empty()) return 0;
    std::sort(values.begin(), values.end());
    const auto index = static_cast<std::size_t>(p * static_cast<double>(values.size() - 1) + 0.5);
    return values[std::min(index, values.size() - 1)];
}

}  // namespace lumetta::bench
