#pragma once
// Measuring and building the lines of a text: line widths in a style, the ellipsis cut, the
// character ends the typewriter reveal follows, a plain line of runs as one texture, and a slide
// rectangle on the output. The text element lays its lines out with these.

#include <SDL3/SDL.h>
#include <SDL3_ttf/SDL_ttf.h>

#include <cstdint>
#include <string>
#include <vector>

#include "display/sdl_handles.h"
#include "display/slide_mapping.h"
#include "objects/styled_line.h"
#include "objects/text_style.h"

namespace lumetta {

inline constexpr const char* ellipsisText = "\xE2\x80\xA6";  // U+2026

// The text without leading and trailing white space.
std::string trimmedText(const std::string& text);
// Removes carriage returns and line feeds.
void removeLineBreaks(std::string& line);
// Cuts the last UTF-8 character (back to its lead byte) from a text.
void dropLastCharacter(std::string& text);

// The ends of the characters of a plain line, for the typewriter reveal. Throws the SDL error
// text when a piece cannot be measured.
std::vector<int> plainCharacterOffsets(TTF_Font* font, const std::vector<StyledRun>& runs);

// Width in pixels of a line of runs in a style: pieces cut as for the styled renderer, plus the
// character spacing between pieces. Throws the SDL error text when a piece cannot be measured.
int measureLineWidth(const TextStyle& style, TTF_Font* font, const std::vector<StyledRun>& runs);

// The widest text line rendered when the renderer names no limit of its own (SDL's software
// renderer names none): a wider line could not become a texture on a player's GPU, and its glyph
// surface alone would take gigabytes.
inline constexpr int maxTextLineWidth = 16384;
// The renderer's largest texture side, or maxTextLineWidth when it names none.
int textLineWidthLimit(SDL_Renderer* renderer);

// One plain line of runs side by side, glyph surfaces taken from the text surface cache when
// prepared there and rendered (and filed) otherwise. Null when the line has no extent or a step
// failed.
TextureHandle buildTextTexture(SDL_Renderer* renderer, TTF_Font* font, const std::string& keyPrefix,
                               const std::vector<StyledRun>& runs, int* width, int* height);

// A slide rectangle on the output with the rounding of text; {0, 0, 0, 0} when there is
// nothing to map.
SDL_Rect mapSlideRect(const SlideMapping& mapping, const SDL_Rect& rect);
// The same for a viewport and rotation given directly.
SDL_Rect fitRotatedRect(SDL_Rect rect, int slideWidth, int slideHeight, SDL_Rect viewport, int rotation);

// The text when it fits in maxWidth pixels, else its longest prefix followed by "…" that fits,
// "…" alone, or "" when even that does not fit (or for an empty text or a non-positive width or
// size). The text is returned unchanged when the font cannot be opened.
std::string measureText(const std::string& text, int maxWidth, int fontSize, const std::string& fontFamily,
                        std::uint8_t fontStyle);
// The same in a font already open, with its style and outline as they are set: for a caller
// that cuts many texts in one font.
std::string measureText(TTF_Font* font, const std::string& text, int maxWidth);

}  // namespace lumetta
