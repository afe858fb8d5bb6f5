#pragma once
// Small helpers for the display tests: pixel readback and environment overrides.

#include <SDL3/SDL.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <optional>
#include <string>

namespace lumetta::testing {

// One pixel of the renderer's current target.
inline SDL_Color pixelAt(SDL_Renderer* renderer, int x, int y) {
    SDL_Rect area{x, y, 1, 1};
    SDL_Surface* surface = SDL_RenderReadPixels(renderer, &area);
    EXPECT_NE(surface, nullptr) << SDL_GetError();
    SDL_Color color{0, 0, 0, 0};
    if (surface) {
        SDL_ReadSurfacePixel(surface, 0, 0, &color.r, &color.g, &color.b, &color.a);
        SDL_DestroySurface(surface);
    }
    return color;
}

inline ::testing::AssertionResult sameColor(SDL_Color actual, SDL_Color expected) {
    if (actual.r == expected.r && actual.g == expected.g && actual.b == expected.b) {
        return ::testing::AssertionSuccess();
    }
    return ::testing::AssertionFailure() << "got (" << int(actual.r) << "," << int(actual.g) << "," << int(actual.b)
                                         << ") expected (" << int(expected.r) << "," << int(expected.g) << ","
                                         << int(expected.b) << ")";
}

inline void fillRect(SDL_Renderer* renderer, float x, float y, float w, float h, SDL_Color color) {
    SDL_SetRenderDrawColor(renderer, color.r, color.g, color.b, color.a);
    const SDL_FRect area{x, y, w, h};
    SDL_RenderFillRect(renderer, &area);
}

// Puts one environment variable aside for a test and restores it afterwards.
class EnvironmentOverride {
public:
    explicit EnvironmentOverride(const char* name) : name_(name) {
        if (const char* value = std::getenv(name)) saved_ = value;
        unsetenv(name);
    }
    ~EnvironmentOverride() {
        if (saved_) setenv(name_, saved_->c_str(), 1);
    }
    EnvironmentOverride(const EnvironmentOverride&) = delete;
    EnvironmentOverride& operator=(const EnvironmentOverride&) = delete;

private:
    const char* name_;
    std::optional<std::string> saved_;
};

}  // namespace lumetta::testing
