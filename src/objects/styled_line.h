#pragma once
// Composition of one styled text line, pixel by pixel: glyphs in their colours or a colour
// gradient, run and highlight backgrounds, an outline grown from the glyph shapes and a soft
// drop shadow. The canvas is larger than the text by a margin that leaves room for the effects.

#include <SDL3/SDL_pixels.h>
#include <SDL3/SDL_render.h>
#include <SDL3_ttf/SDL_ttf.h>

#include <cstdint>
#include <vector>

#include "display/sdl_handles.h"
#include "objects/text_style.h"

namespace lumetta {

// Most cells one line's canvas may have; bounds the memory of the working layers.
inline constexpr double maxStyledLineCells = 16000000.0;

struct StyledLineCanvas {
    int margin = 0;
    int width = 0;
    int height = 0;
};

// The margin and canvas around a text of textWidth x textHeight pixels. Throws
// std::invalid_argument("Styled text line is too large") above maxStyledLineCells.
StyledLineCanvas styledLineCanvas(int textWidth, int textHeight, const TextStyle& style);

// A composed line before it becomes a texture: canvas-sized, row-major, straight alpha.
struct StyledLinePixels {
    StyledLineCanvas canvas;
    std::vector<SDL_Color> pixels;  // empty when the line has no extent
    std::vector<int> charOffsets;   // end of each character, from the canvas's left edge
};

StyledLinePixels composeStyledLine(TTF_Font* font, const TextStyle& style, SDL_Color baseColor,
                                   const std::vector<StyledRun>& runs, bool trackChars);

struct StyledLine {
    TextureHandle texture;  // null when the line has no extent
    int width = 0;                   // margin included
    int height = 0;
    int margin = 0;
    std::vector<int> charOffsets;
};

// Composes the line and turns it into a texture. Throws std::invalid_argument for a canvas
// that is too large and std::runtime_error with the SDL error text for a failed font or SDL
// step; nothing is left allocated then.
StyledLine renderStyledLine(SDL_Renderer* renderer, TTF_Font* font, const TextStyle& style, SDL_Color baseColor,
                            const std::vector<StyledRun>& runs, bool trackChars);

// A separable square-window filter over a width x height byte mask: with `maximum` the largest
// value in the window (grows shapes), otherwise the window average with the full window as
// divisor (blurs, fading towards the borders). Linear in the cells whatever the radius.
std::vector<std::uint8_t> transformMask(const std::vector<std::uint8_t>& mask, int width, int height, int radius,
                                        bool maximum);

}  // namespace lumetta
