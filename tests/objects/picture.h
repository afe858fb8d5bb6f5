#pragma once
// A picture in memory for the rasteriser tests: ABGR8888 pixels read back as channels.

#include <cstdint>
#include <ostream>
#include <vector>

#include "objects/shape_raster.h"

namespace lumetta::testing {

struct Rgba {
    int r = 0, g = 0, b = 0, a = 0;
    bool operator==(const Rgba&) const = default;
};

inline std::ostream& operator<<(std::ostream& out, const Rgba& p) {
    return out << "(" << p.r << ", " << p.g << ", " << p.b << ", " << p.a << ")";
}

struct Picture {
    int width = 0;
    int height = 0;
    std::vector<std::uint32_t> pixels;

    Picture(int w, int h) : width(w), height(h), pixels(static_cast<std::size_t>(w) * h, 0xDEADBEEFu) {}

    PixelRows rows() { return PixelRows{pixels.data(), width, height, static_cast<std::ptrdiff_t>(width) * 4}; }

    Rgba at(int x, int y) const {
        const std::uint32_t v = pixels[static_cast<std::size_t>(y) * width + x];
        return {static_cast<int>(v & 0xFF), static_cast<int>((v >> 8) & 0xFF), static_cast<int>((v >> 16) & 0xFF),
                static_cast<int>(v >> 24)};
    }
    int alpha(int x, int y) const { return at(x, y).a; }
};

}  // namespace lumetta::testing
