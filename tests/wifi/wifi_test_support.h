#pragma once
// Helpers of the Wi-Fi set-up tests: a software canvas that drawings are read back from, and
// this process's own standard output and error caught in files while a child runs.

#include <SDL3/SDL.h>
#include <SDL3_ttf/SDL_ttf.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstddef>
#include <string>

#include "display/sdl_handles.h"
#include "support/own_streams.h"
#include "support/temp_dir.h"

namespace lumetta::testing {

// One pixel read back, compared by colour alone.
struct Pixel {
    int r = 0;
    int g = 0;
    int b = 0;
    Pixel() = default;
    Pixel(SDL_Color c) : r(c.r), g(c.g), b(c.b) {}  // NOLINT: compared with SDL colours as they are
    bool operator==(const Pixel&) const = default;
};

inline std::ostream& operator<<(std::ostream& out, const Pixel& p) {
    return out << "(" << p.r << "," << p.g << "," << p.b << ")";
}

// A memory surface with the software renderer on it, cleared to `backdrop`.
class SoftwareCanvas {
public:
    static constexpr SDL_Color backdrop{10, 20, 30, 255};

    SoftwareCanvas(int width, int height)
        : surface_(SDL_CreateSurface(width, height, SDL_PIXELFORMAT_XRGB8888)),
          renderer_(surface_ ? SDL_CreateSoftwareRenderer(surface_.get()) : nullptr) {
        EXPECT_NE(renderer_, nullptr) << SDL_GetError();
        if (TTF_WasInit() == 0) {
            EXPECT_TRUE(TTF_Init()) << SDL_GetError();
        }
        clear();
    }

    SDL_Renderer* renderer() const { return renderer_.get(); }
    int width() const { return surface_->w; }
    int height() const { return surface_->h; }

    void clear() const {
        SDL_SetRenderDrawBlendMode(renderer(), SDL_BLENDMODE_NONE);
        SDL_SetRenderDrawColor(renderer(), backdrop.r, backdrop.g, backdrop.b, 255);
        SDL_RenderClear(renderer());
    }

    Pixel at(long long x, long long y) const {
        SDL_FlushRenderer(renderer());
        if (x < 0 || y < 0 || x >= surface_->w || y >= surface_->h) {
            ADD_FAILURE() << "pixel " << x << "," << y << " lies outside the canvas";
            return Pixel();
        }
        return pixel(static_cast<int>(x), static_cast<int>(y));
    }

    // Pixels for which `test` holds in the same kind of area.
    template <typename Test>
    int countWhere(Test test, long long x0, long long y0, long long x1, long long y1) const {
        SDL_FlushRenderer(renderer());
        int n = 0;
        for (long long y = std::max(0LL, y0); y < std::min<long long>(y1, surface_->h); ++y) {
            for (long long x = std::max(0LL, x0); x < std::min<long long>(x1, surface_->w); ++x) {
                if (test(pixel(static_cast<int>(x), static_cast<int>(y)))) ++n;
            }
        }
        return n;
    }
    // Pixels of exactly colour `c`.
    int count(Pixel c, long long x0, long long y0, long long x1, long long y1) const {
        return countWhere([c](Pixel p) { return p == c; }, x0, y0, x1, y1);
    }
    // Pixels other than the backdrop in the same kind of area.
    int drawn(long long x0, long long y0, long long x1, long long y1) const {
        const long long w = std::max(0LL, std::min<long long>(x1, surface_->w) - std::max(0LL, x0));
        const long long h = std::max(0LL, std::min<long long>(y1, surface_->h) - std::max(0LL, y0));
        return static_cast<int>(w * h) - count(backdrop, x0, y0, x1, y1);
    }
    int drawnAnywhere() const { return drawn(0, 0, surface_->w, surface_->h); }

private:
    Pixel pixel(int x, int y) const {
        const auto* row = reinterpret_cast<const Uint32*>(static_cast<const Uint8*>(surface_->pixels) +
                                                          static_cast<std::ptrdiff_t>(y) * surface_->pitch);
        const Uint32 p = row[x];
        return SDL_Color{static_cast<Uint8>(p >> 16), static_cast<Uint8>(p >> 8), static_cast<Uint8>(p), 255};
    }

    SurfaceHandle surface_;
    RendererHandle renderer_;  // goes before its surface
};

}  // namespace lumetta::testing
