#pragma once
// The text slide element: lines of text in a TrueType font over an optional background panel
// (the Rectangle base). Everything is laid out and rendered once in the constructor; a draw only
// places the line textures, clipped, faded or partly revealed as asked.

#include <SDL3/SDL.h>
#include <SDL3_ttf/SDL_ttf.h>

#include <cstdint>
#include <string>
#include <vector>

#include "core/clock.h"
#include "display/sdl_handles.h"
#include "objects/rectangle.h"
#include "objects/styled_line.h"
#include "objects/text_lines.h"
#include "objects/text_style.h"

namespace lumetta {

class Display;

class Text : public Rectangle {
public:
    // alignment: 0 left, 1 right, 2 centre (anything else is left). The opacity is read by
    // textOpacityAlpha against the colour's alpha. Throws only for the base Rectangle, an invalid
    // opacity (text or number) or an invalid style; every other failure is logged as
    // "Text Exception: ..." and leaves an element that draws only its background panel. The
    // typewriter cursor blinks by `clock`'s ticks.
    Text(Display* display, int slideWidth, int slideHeight, SDL_Rect box, const std::string& text, int fontSize,
         ElementOpacity opacity, const std::string& fontFamily, std::uint8_t fontStyle, SDL_Color color,
         SDL_Color backgroundColor, int alignment, bool typewriter, const TextStyle& style,
         const Clock& clock = systemClock());

    // offsetX/offsetY shift the element in slide pixels; alphaFactor (255 = unchanged) scales its
    // alpha for this frame; reveal (clamped to 0..1) is the fraction of each line's width shown
    // from the left. Never throws.
    void draw(int offsetX, int offsetY, SDL_FlipMode flip, std::uint8_t alphaFactor, float reveal);

    int contentWidth() const;
    int contentHeight() const;
    bool isPrepared() const;

    // The laid-out lines in slide coordinates (effect margins included), the font size the
    // layout settled on, and the per-line character ends tracked for the typewriter reveal.
    const std::vector<SDL_Rect>& lineRectangles() const { return lineRects; }
    int laidOutFontSize() const { return fontSize; }
    const std::vector<std::vector<int>>& characterOffsets() const { return charOffsets; }
    int characterCount() const { return totalChars; }
    const TextStyle& textStyle() const { return style; }

private:
    // Fills the lines (and the cursor); a failure part way leaves none of them.
    void layOut(SDL_Renderer* renderer, bool trackChars);

    TextStyle style;
    TextureHandle cursorTexture;
    SDL_Rect textBox{0, 0, 0, 0};
    std::string text;
    int fontSize = 0;
    ElementOpacity opacity;  // as given, kept for the cursor
    std::string fontFamily;
    std::uint8_t fontStyle = 0;
    SDL_Color color{0, 0, 0, 0};
    SDL_Color backgroundColor{0, 0, 0, 0};
    std::uint8_t alpha = 0;
    int alignment = 0;
    std::vector<SDL_Rect> lineRects;
    std::vector<std::vector<int>> charOffsets;
    int totalChars = 0;
    std::vector<TextureHandle> lineTextures;
    const Clock& clock;
};

// measureLineWidth in the element's style.
int measureLineWidth(const Text& element, TTF_Font* font, const std::vector<StyledRun>& runs);

}  // namespace lumetta
