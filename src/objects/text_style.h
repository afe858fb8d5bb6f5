#pragma once
// The shared vocabulary of styled text: the optional styling of a text layer, the runs that
// ANSI colour sequences cut a line into, the pieces that highlights and character spacing cut
// runs into, and a few small helpers. Everything here is pure and safe from any thread.

#include <SDL3/SDL_pixels.h>

#include <cstdint>
#include <string>
#include <vector>

#include "display/element_opacity.h"
#include "objects/font_path.h"

namespace lumetta {

// Font style bits: the low three are handed to the font engine, the outline bit opens the font
// with a 2-pixel outline instead.
inline constexpr std::uint8_t fontStyleBold = 1;
inline constexpr std::uint8_t fontStyleItalic = 2;
inline constexpr std::uint8_t fontStyleUnderline = 4;
inline constexpr std::uint8_t fontStyleOutline = 8;
inline constexpr std::uint8_t fontEngineStyleMask = 7;

struct TextHighlight {
    std::string text;
    SDL_Color color{255, 220, 0, 255};
    SDL_Color textColor{0, 0, 0, 255};
};

struct TextStyle {
    std::int32_t outlineWidth = 0;
    SDL_Color outlineColor{0, 0, 0, 255};
    bool shadow = false;
    SDL_Color shadowColor{0, 0, 0, 255};
    float shadowOpacity = 0.5f;
    std::int32_t shadowBlur = 4;
    std::int32_t shadowOffsetX = 3;
    std::int32_t shadowOffsetY = 3;
    std::string gradient = "none";
    SDL_Color gradientColor{255, 255, 255, 255};
    double gradientAngle = 0.0;
    std::int32_t characterSpacing = 0;
    std::int32_t lineSpacing = 0;
    std::int32_t padding = 0;
    std::string verticalAlignment = "top";
    std::string overflow = "legacy";
    std::int32_t backgroundRadius = 0;
    std::int32_t backgroundBorderWidth = 0;
    SDL_Color backgroundBorderColor{255, 255, 255, 255};
    std::vector<TextHighlight> highlights;
    double typewriterSpeed = 0.0;
    double typewriterDelay = 0.0;
    bool typewriterCursor = false;
    SDL_Color cursorColor{255, 255, 255, 255};
    std::int32_t cursorBlinkMs = 500;

    // Throws std::invalid_argument naming the first rule that fails.
    void validate() const;
    // Whether anything that changes layout or rendering is set (background panel, typewriter
    // and cursor fields do not count).
    bool usesStyling() const;
};

struct StyledRun {
    std::string text;
    SDL_Color color{0, 0, 0, 0};
    bool hasBackground = false;
    SDL_Color background{0, 0, 0, 0};
    std::uint8_t style = 0;
};

struct StyledPiece {
    std::string text;
    SDL_Color color{0, 0, 0, 0};
    SDL_Color background{0, 0, 0, 0};
    bool hasBackground = false;
    bool highlighted = false;  // colour fixed by a highlight: no gradient
    std::uint8_t style = 0;
};

StyledPiece toStyledPiece(const StyledRun& run);
std::vector<StyledPiece> toStyledPieces(const std::vector<StyledRun>& runs);

// Cuts a text into runs at ANSI SGR sequences ("ESC [ params m"); the sequences are removed.
// Bold/italic/underline, 24-bit foreground and background colours and their resets are
// understood; anything else is ignored. Runs are never empty.
std::vector<StyledRun> parseAnsiStyledRuns(const std::string& text, SDL_Color baseColor, std::uint8_t baseStyle);

// Cuts pieces so that no highlight boundary falls inside one (highlighted pieces take the
// highlight's colours) and, with character spacing, so that every character is its own piece.
std::vector<StyledPiece> splitStyledPieces(const std::vector<StyledPiece>& pieces, const TextStyle& style);

// Cuts at every occurrence of the separator; always one element more than occurrences.
std::vector<std::string> splitTextSegments(const std::string& text, const std::string& separator);

// Scales baseAlpha by the opacity text: a fraction up to 1, the 0..255 scale above.
// Throws std::invalid_argument / std::out_of_range for text that is not a finite number.
std::uint8_t parseTextOpacity(const std::string& opacityText, std::uint8_t baseAlpha);
// The same rule for an opacity given as a number or as a text; a number that is not finite
// throws std::invalid_argument "Invalid text opacity: " and the number ("nan", "inf", "-inf").
std::uint8_t textOpacityAlpha(const ElementOpacity& opacity, std::uint8_t baseAlpha);

// Porter-Duff "source over destination", in place.
void blendColorOver(SDL_Color& destination, SDL_Color source);

}  // namespace lumetta
