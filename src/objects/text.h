#pragma once
// The text slide element: lines of text in a TrueType font over an optional background panel
// (the Rectangle base). Everything is laid out and rendered once in the constructor; a draw only
// places the line textures, clipped, faded or partly revealed as asked.

#include <SDL3/SDL.h>
#include <SDL3_ttf/SDL_ttf.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "objects/rectangle.h"
#include "objects/styled_line.h"
#include "objects/text_style.h"

namespace lumetta {

class Display;

class Text : public Rectangle {
public:
    // alignment: 0 left, 1 right, 2 centre (anything else is left). Throws only for the base
    // Rectangle, an invalid opacity text or an invalid style; every other failure is logged as
    // "Text Exception: ..." and leaves an element that draws only its background panel.
    Text(Display* display, int slideWidth, int slideHeight, SDL_Rect box, const std::string& text, int fontSize,
         const std::string& opacityText, const std::string& fontFamily, std::uint8_t fontStyle, SDL_Color color,
         SDL_Color backgroundColor, int alignment, bool typewriter, const TextStyle& style);
    ~Text() override;

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

    // The millisecond clock the cursor blinks by (SDL_GetTicks unless replaced).
    using TickSource = std::function<std::uint64_t()>;
    void setTickSource(TickSource ticks) { tickSource = std::move(ticks); }

private:
    void layOut(SDL_Renderer* renderer, bool trackChars);
    void releaseLines();

    TextStyle style;
    SDL_Texture* cursorTexture = nullptr;
    SDL_Rect textBox{0, 0, 0, 0};
    std::string text;
    int fontSize = 0;
    std::string opacityText;
    std::string fontFamily;
    std::uint8_t fontStyle = 0;
    SDL_Color color{0, 0, 0, 0};
    SDL_Color backgroundColor{0, 0, 0, 0};
    std::uint8_t alpha = 0;
    int alignment = 0;
    std::vector<SDL_Rect> lineRects;
    std::vector<std::vector<int>> charOffsets;
    int totalChars = 0;
    std::vector<SDL_Texture*> lineTextures;
    TickSource tickSource;
};

// Width in pixels of a line of runs in the element's style: pieces cut as for the styled
// renderer, plus the character spacing between pieces. Throws the SDL error text when a piece
// cannot be measured.
int measureLineWidth(const Text& element, TTF_Font* font, const std::vector<StyledRun>& runs);
int measureLineWidth(const TextStyle& style, TTF_Font* font, const std::vector<StyledRun>& runs);

// One plain line of runs side by side, glyph surfaces taken from the text surface cache when
// prepared there and rendered (and filed) otherwise. Null when the line has no extent or a step
// failed.
SDL_Texture* buildTextTexture(SDL_Renderer* renderer, TTF_Font* font, const std::string& keyPrefix,
                              const std::vector<StyledRun>& runs, int* width, int* height);

// Maps a rectangle in slide coordinates onto the render output: the slide scaled to fit the
// viewport (sides swapped at 90/270 degrees), centred, and turned by minus the rotation about
// the viewport centre. {0, 0, 0, 0} when there is nothing to map.
SDL_Rect fitRotatedRect(SDL_Rect rect, int slideWidth, int slideHeight, SDL_Rect viewport, int rotation);

// The text when it fits in maxWidth pixels, else its longest prefix followed by "…" that fits,
// "…" alone, or "" when even that does not fit (or for an empty text or a non-positive width or
// size). The text is returned unchanged when the font cannot be opened.
std::string measureText(const std::string& text, int maxWidth, int fontSize, const std::string& fontFamily,
                        std::uint8_t fontStyle);

}  // namespace lumetta
