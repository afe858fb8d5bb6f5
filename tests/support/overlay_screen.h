#pragma once
// An offscreen display for the menu and overlay tests: a frame is cleared to one colour, drawn
// on and read back whole.

#include <SDL3/SDL.h>
#include <SDL3_ttf/SDL_ttf.h>
#include <gtest/gtest.h>

#include <memory>
#include <optional>
#include <string>

#include "display/display.h"
#include "objects/font_path.h"
#include "support/transition_screen.h"

namespace lumetta::testing {

inline constexpr Rgb kGrey{34, 34, 34};
inline constexpr Rgb kOrange{255, 128, 0};
inline constexpr Rgb kBackdrop{40, 90, 160};

class OverlayScreen {
public:
    OverlayScreen(int width, int height)
        : display_(std::make_unique<Display>("", "overlay test", -1, -1, width, height, false, std::nullopt)) {
        if (TTF_WasInit() == 0) TTF_Init();
    }

    Display* display() const { return display_.get(); }
    SDL_Renderer* renderer() const { return display_->renderer(); }
    int width() const { return display_->width(); }
    int height() const { return display_->height(); }

    void clear(Rgb c = kBackdrop) const {
        SDL_SetRenderDrawBlendMode(renderer(), SDL_BLENDMODE_NONE);
        SDL_SetRenderDrawColor(renderer(), static_cast<Uint8>(c.r), static_cast<Uint8>(c.g), static_cast<Uint8>(c.b),
                               255);
        SDL_RenderClear(renderer());
    }

    Frame capture() const {
        SurfaceHandle read(SDL_RenderReadPixels(renderer(), nullptr));
        EXPECT_NE(read, nullptr) << SDL_GetError();
        if (!read) return {};
        SurfaceHandle rgb(SDL_ConvertSurface(read.get(), SDL_PIXELFORMAT_XRGB8888));
        Frame f{rgb->w, rgb->h, std::vector<std::uint32_t>(static_cast<std::size_t>(rgb->w) * rgb->h)};
        for (int y = 0; y < rgb->h; ++y) {
            const auto* row = reinterpret_cast<const std::uint32_t*>(static_cast<const Uint8*>(rgb->pixels) +
                                                                     static_cast<std::ptrdiff_t>(y) * rgb->pitch);
            for (int x = 0; x < rgb->w; ++x) f.pixels[static_cast<std::size_t>(y) * rgb->w + x] = row[x] & 0xFFFFFFu;
        }
        return f;
    }

private:
    std::unique_ptr<Display> display_;
};

// Pixels of `frame` inside `area` equal to `c` (within `tolerance`).
inline int countIn(const Frame& frame, SDL_Rect area, Rgb c, int tolerance = 0) {
    int n = 0;
    for (int y = std::max(area.y, 0); y < std::min(area.y + area.h, frame.height); ++y) {
        for (int x = std::max(area.x, 0); x < std::min(area.x + area.w, frame.width); ++x) {
            if (near(frame.at(x, y), c, tolerance)) ++n;
        }
    }
    return n;
}

// Width and height of a text in a font file at a size, as the font engine lays it out.
inline SDL_Point textSize(const std::string& fontFile, int size, const std::string& text) {
    FontHandle font(TTF_OpenFont(fontFile.c_str(), static_cast<float>(size)));
    int w = 0, h = 0;
    if (font) TTF_GetStringSize(font.get(), text.data(), text.size(), &w, &h);
    return {w, h};
}

}  // namespace lumetta::testing
