#include "objects/text_style.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <stdexcept>

namespace lumetta {

namespace {

bool inRange(std::int32_t value, std::int32_t low, std::int32_t high) {
    if (low == 0) return static_cast<std::uint32_t>(value) <= static_cast<std::uint32_t>(high);
    return value >= low && value <= high;
}

bool finiteInRange(double value, double low, double high) {
    return std::isfinite(value) && value >= low && value <= high;
}

bool oneOf(const std::string& word, std::initializer_list<const char*> words) {
    return std::any_of(words.begin(), words.end(), [&](const char* w) { return word == w; });
}

// Digits of one SGR parameter saturate here: far above every meaningful value (colour
// components clamp at 255, codes from 50 up are ignored), so no sequence changes meaning.
constexpr int sgrParameterLimit = 65535;

std::vector<int> parseSgrParameters(const std::string& text, std::size_t begin, std::size_t end) {
    std::vector<int> values;
    int value = 0;
    for (std::size_t i = begin; i < end; ++i) {
        const char byte = text[i];
        if (byte >= '0' && byte <= '9') {
            value = std::min(value * 10 + (byte - '0'), sgrParameterLimit);
        } else if (byte == ';') {
            values.push_back(value);
            value = 0;
        }
    }
    values.push_back(value);
    return values;
}

std::uint8_t clampComponent(int value) { return static_cast<std::uint8_t>(std::clamp(value, 0, 255)); }

struct SgrState {
    SDL_Color color;
    std::uint8_t style;
    bool hasBackground = false;
    SDL_Color background{0, 0, 0, 0};
};

void applySgrCodes(const std::vector<int>& codes, SgrState& state, SDL_Color baseColor, std::uint8_t baseStyle) {
    for (std::size_t i = 0; i < codes.size();) {
        const int code = codes[i];
        if ((code == 38 || code == 48) && i + 4 < codes.size() && codes[i + 1] == 2) {
            const SDL_Color rgb{clampComponent(codes[i + 2]), clampComponent(codes[i + 3]),
                                clampComponent(codes[i + 4]), 255};
            if (code == 38) {
                state.color = rgb;
            } else {
                state.background = rgb;
                state.hasBackground = true;
            }
            i += 5;
            continue;
        }
        switch (code) {
            case 0:
                state = SgrState{baseColor, baseStyle};
                break;
            case 1: state.style |= fontStyleBold; break;
            case 3: state.style |= fontStyleItalic; break;
            case 4: state.style |= fontStyleUnderline; break;
            case 22: state.style &= ~fontStyleBold; break;
            case 23: state.style &= ~fontStyleItalic; break;
            case 24: state.style &= ~fontStyleUnderline; break;
            case 39: state.color = baseColor; break;
            case 49:
                state.background = SDL_Color{0, 0, 0, 0};
                state.hasBackground = false;
                break;
            default: break;
        }
        ++i;
    }
}

bool isContinuationByte(unsigned char byte) { return byte >= 0x80 && byte <= 0xBF; }

}  // namespace

void TextStyle::validate() const {
    const bool numbersValid =
        inRange(outlineWidth, 0, 32) && finiteInRange(shadowOpacity, 0.0, 1.0) && inRange(shadowBlur, 0, 64) &&
        inRange(shadowOffsetX, -256, 256) && inRange(shadowOffsetY, -256, 256) && std::isfinite(gradientAngle) &&
        inRange(characterSpacing, 0, 256) && inRange(lineSpacing, 0, 512) && inRange(padding, 0, 4096) &&
        inRange(backgroundRadius, 0, 4096) && inRange(backgroundBorderWidth, 0, 256) &&
        finiteInRange(typewriterSpeed, 0.0, 1000.0) && finiteInRange(typewriterDelay, 0.0, 86400000.0) &&
        inRange(cursorBlinkMs, 100, 10000);
    if (!numbersValid) throw std::invalid_argument("Invalid text styling value");
    if (!oneOf(gradient, {"none", "linear", "radial"})) throw std::invalid_argument("Invalid text gradient");
    if (!oneOf(verticalAlignment, {"top", "middle", "bottom"})) {
        throw std::invalid_argument("Invalid text vertical alignment");
    }
    if (!oneOf(overflow, {"legacy", "clip", "ellipsis", "shrink"})) throw std::invalid_argument("Invalid text overflow");
    if (highlights.size() > 64) throw std::invalid_argument("Too many text highlights");
    for (const auto& highlight : highlights) {
        if (highlight.text.empty()) throw std::invalid_argument("Empty text highlight");
    }
}

bool TextStyle::usesStyling() const {
    return outlineWidth >= 1 || shadow || gradient != "none" || characterSpacing != 0 || lineSpacing != 0 ||
           padding >= 1 || verticalAlignment != "top" || overflow != "legacy" || !highlights.empty();
}

StyledPiece toStyledPiece(const StyledRun& run) {
    return StyledPiece{run.text, run.color, run.background, run.hasBackground, false, run.style};
}

std::vector<StyledPiece> toStyledPieces(const std::vector<StyledRun>& runs) {
    std::vector<StyledPiece> pieces;
    pieces.reserve(runs.size());
    for (const auto& run : runs) pieces.push_back(toStyledPiece(run));
    return pieces;
}

std::vector<StyledRun> parseAnsiStyledRuns(const std::string& text, SDL_Color baseColor, std::uint8_t baseStyle) {
    std::vector<StyledRun> runs;
    SgrState state{baseColor, baseStyle};
    std::string gathered;
    auto emit = [&] {
        if (gathered.empty()) return;
        runs.push_back(StyledRun{std::move(gathered), state.color, state.hasBackground, state.background, state.style});
        gathered.clear();
    };
    const std::size_t size = text.size();
    for (std::size_t i = 0; i < size;) {
        if (text[i] == '\x1b' && i + 2 < size && text[i + 1] == '[') {
            const std::size_t end = text.find('m', i + 2);
            if (end != std::string::npos) {
                emit();
                applySgrCodes(parseSgrParameters(text, i + 2, end), state, baseColor, baseStyle);
                i = end + 1;
                continue;
            }
        }
        gathered.push_back(text[i]);
        ++i;
    }
    emit();
    return runs;
}

std::vector<StyledPiece> splitStyledPieces(const std::vector<StyledPiece>& pieces, const TextStyle& style) {
    std::string joined;
    for (const auto& piece : pieces) joined += piece.text;
    std::vector<int> marks(joined.size(), -1);
    for (std::size_t k = 0; k < style.highlights.size(); ++k) {
        const std::string& phrase = style.highlights[k].text;
        if (phrase.empty() || phrase.size() > joined.size()) continue;
        for (std::size_t at = joined.find(phrase); at != std::string::npos; at = joined.find(phrase, at + phrase.size())) {
            for (std::size_t b = at; b < at + phrase.size(); ++b) {
                if (marks[b] == -1) marks[b] = static_cast<int>(k);
            }
        }
    }

    std::vector<StyledPiece> result;
    std::size_t base = 0;  // position of the current input piece within the joined text
    for (const auto& piece : pieces) {
        const std::string& text = piece.text;
        std::size_t i = 0;
        while (i < text.size()) {
            const std::size_t start = i;
            const int mark = marks[base + start];
            ++i;
            while (i < text.size() && isContinuationByte(static_cast<unsigned char>(text[i]))) ++i;
            if (style.characterSpacing == 0) {
                while (i < text.size() && marks[base + i] == mark) ++i;
            }
            StyledPiece out = piece;
            out.text = text.substr(start, i - start);
            if (mark >= 0) {
                const auto& highlight = style.highlights[static_cast<std::size_t>(mark)];
                out.color = highlight.textColor;
                out.background = highlight.color;
                out.hasBackground = true;
                out.highlighted = true;
            }
            result.push_back(std::move(out));
        }
        base += text.size();
    }
    return result;
}

std::vector<std::string> splitTextSegments(const std::string& text, const std::string& separator) {
    if (separator.empty()) return {text};
    std::vector<std::string> segments;
    std::size_t start = 0;
    for (std::size_t at = text.find(separator); at != std::string::npos; at = text.find(separator, start)) {
        segments.push_back(text.substr(start, at - start));
        start = at + separator.size();
    }
    segments.push_back(text.substr(start));
    return segments;
}

namespace {

constexpr const char* invalidTextOpacity = "Invalid text opacity: ";

std::uint8_t textAlphaOfFinite(float value, std::uint8_t baseAlpha) {
    float fraction;
    if (value <= 1.0f) {
        fraction = value < 0.0f ? 0.0f : value;
    } else {
        fraction = value > 255.0f ? 1.0f : value / 255.0f;
    }
    return static_cast<std::uint8_t>(std::lroundf(static_cast<float>(baseAlpha) * fraction) & 0xFF);
}

}  // namespace

std::uint8_t parseTextOpacity(const std::string& opacityText, std::uint8_t baseAlpha) {
    std::size_t used = 0;
    float value = std::stof(opacityText, &used);
    const bool onlySpaceFollows = std::all_of(opacityText.begin() + static_cast<std::ptrdiff_t>(used), opacityText.end(),
                                              [](unsigned char c) { return std::isspace(c) != 0; });
    if (!std::isfinite(value) || !onlySpaceFollows) {
        throw std::invalid_argument(invalidTextOpacity + opacityText);
    }
    return textAlphaOfFinite(value, baseAlpha);
}

std::uint8_t textOpacityAlpha(const ElementOpacity& opacity, std::uint8_t baseAlpha) {
    if (const std::string* text = opacity.text()) return parseTextOpacity(*text, baseAlpha);
    return textAlphaOfFinite(opacity.finiteNumber(invalidTextOpacity), baseAlpha);
}

void blendColorOver(SDL_Color& destination, SDL_Color source) {
    const double sa = source.a / 255.0;
    const double da = destination.a / 255.0 * (1.0 - sa);
    const double a = sa + da;
    if (a <= 0.0) {
        destination = SDL_Color{0, 0, 0, 0};
        return;
    }
    auto channel = [&](std::uint8_t d, std::uint8_t s) {
        return static_cast<std::uint8_t>(std::lround((d * da + s * sa) / a) & 0xFF);
    };
    destination = SDL_Color{channel(destination.r, source.r), channel(destination.g, source.g),
                            channel(destination.b, source.b), static_cast<std::uint8_t>(std::lround(a * 255.0) & 0xFF)};
}

}  // namespace lumetta
