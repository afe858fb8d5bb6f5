#pragma once
// Bringing wide sums back into the int range: positions and sizes are summed in 64 bits or in
// double precision and saturate at the ends of the int range instead of wrapping.

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>

namespace lumetta {

inline int clampToInt(std::int64_t value) {
    return static_cast<int>(
        std::clamp<std::int64_t>(value, std::numeric_limits<int>::min(), std::numeric_limits<int>::max()));
}

// Truncates toward zero; NaN gives 0.
inline int clampToInt(double value) {
    if (std::isnan(value)) return 0;
    return static_cast<int>(std::clamp(value, static_cast<double>(std::numeric_limits<int>::min()),
                                       static_cast<double>(std::numeric_limits<int>::max())));
}

}  // namespace lumetta
