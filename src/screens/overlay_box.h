#pragma once
// The box the pause and pairing overlays share: one line of white text on grey (34, 34, 34)
// with an orange accent bar at its left, in the bottom-right corner of the output (never turned
// with the screen), in the first of the box fonts that opens.

#include <SDL3/SDL.h>

#include <string>
#include <string_view>
#include <vector>

#include "display/sdl_handles.h"

namespace lumetta::screens {

// Where the box, its text and its bar go for a text of textWidth x textHeight on an output of
// width x height.
struct OverlayBoxLayout {
    SDL_Rect box{0, 0, 0, 0};
    SDL_Rect text{0, 0, 0, 0};
    SDL_Rect bar{0, 0, 0, 0};
};
OverlayBoxLayout overlayBoxLayout(int textWidth, int textHeight, int width, int height);

// The box font's size on an output `height` pixels high.
int overlayBoxFontSize(int height);

// The box fonts in the order they are tried: the fonts directory's Lato-Regular, the source
// tree's, then DejaVu Sans.
std::vector<std::string> overlayBoxFonts(const std::string& fontsDirectory);

// Starts the font engine when nobody has yet. False when it cannot start.
bool fontEngineReady();

// The first of `paths` that exists and opens at `size`; null when none does.
FontHandle openFirstFont(const std::vector<std::string>& paths, int size);

// The longest side of a texture the renderer takes (a fixed bound when it does not say).
int maxTextureSide(SDL_Renderer* renderer);

// Whether `text` in `font` is at most `limit` pixels wide. Only as much of the text is laid out
// as the answer needs, so a megabyte of text that is far too wide is refused at once.
bool textFitsWidth(TTF_Font* font, std::string_view text, int limit);

// A line of box text turned into a texture once and kept until the text changes, so that a box
// that shows the same words frame after frame costs one copy. The font is opened on first need
// (sized for the output height of that moment) and tried again on every call until one opens.
class OverlayBoxText {
public:
    explicit OverlayBoxText(std::vector<std::string> fonts) : fonts_(std::move(fonts)) {}

    // The texture of `text` in white for `renderer`; null when no font opens or the text
    // cannot be drawn (an empty text, or one too wide for a texture).
    SDL_Texture* prepare(SDL_Renderer* renderer, const std::string& text, int outputHeight);
    int width() const { return width_; }
    int height() const { return height_; }
    // The text last prepared (drawn or not).
    const std::string& text() const { return text_; }

    bool hasFont() const { return font_ != nullptr; }
    void setFonts(std::vector<std::string> fonts) { fonts_ = std::move(fonts); }
    // Lets go of the font and texture (the renderer is about to go).
    void release();

private:
    std::vector<std::string> fonts_;
    FontHandle font_;
    SDL_Renderer* renderer_ = nullptr;
    std::string text_;
    bool failed_ = false;  // `text_` could not be drawn: not tried again until the text changes
    TextureHandle texture_;
    int width_ = 0;
    int height_ = 0;
};

// Fills the box and its bar and copies the text texture into it (blend mode blend, then none).
void drawOverlayBox(SDL_Renderer* renderer, SDL_Texture* text, int textWidth, int textHeight, int width,
                    int height);

}  // namespace lumetta::screens
