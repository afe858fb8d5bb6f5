#pragma once
// Helpers for the text tests: the font engine for one test, and pixel checks on surfaces.

#include <SDL3/SDL.h>
#include <SDL3_ttf/SDL_ttf.h>

#include <cstdlib>
#include <gtest/gtest.h>

namespace lumetta::testing {

// Starts the font engine for a test. As in the player it stays up until the process ends: the
// background text worker may still hold a font of its own when a test finishes.
class FontEngine {
public:
    FontEngine() { started_ = TTF_WasInit() != 0 || TTF_Init(); }
    bool started() const { return started_; }

private:
    bool started_ = false;
};

// Number of pixels whose alpha is at least minAlpha and whose colour lies within `tolerance`
// of (r, g, b) on every channel.
inline int countPixels(SDL_Surface* surface, Uint8 r, Uint8 g, Uint8 b, Uint8 minAlpha = 200, int tolerance = 8) {
    int count = 0;
    for (int y = 0; y < surface->h; ++y) {
        for (int x = 0; x < surface->w; ++x) {
            Uint8 pr = 0, pg = 0, pb = 0, pa = 0;
            if (!SDL_ReadSurfacePixel(surface, x, y, &pr, &pg, &pb, &pa)) continue;
            if (pa >= minAlpha && std::abs(pr - r) <= tolerance && std::abs(pg - g) <= tolerance &&
                std::abs(pb - b) <= tolerance) {
                ++count;
            }
        }
    }
    return count;
}

// Number of pixels with an alpha above zero.
inline int countVisible(SDL_Surface* surface) {
    int count = 0;
    for (int y = 0; y < surface->h; ++y) {
        for (int x = 0; x < surface->w; ++x) {
            Uint8 r, g, b, a = 0;
            if (SDL_ReadSurfacePixel(surface, x, y, &r, &g, &b, &a) && a > 0) ++count;
        }
    }
    return count;
}

}  // namespace lumetta::testing
