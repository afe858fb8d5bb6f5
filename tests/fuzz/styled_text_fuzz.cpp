// Text content of a playlist's text and ticker layers: colour and style codes, separators,
// opacity texts.
#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>

#include "objects/text_style.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace lumetta;
    const std::string text(reinterpret_cast<const char*>(data), size);
    const auto runs = parseAnsiStyledRuns(text, SDL_Color{255, 255, 255, 255}, 0);
    TextStyle style;
    if (!text.empty()) {
        style.highlights.push_back({text.substr(0, text.size() / 3 + 1), SDL_Color{255, 0, 0, 255},
                                    SDL_Color{0, 0, 0, 255}});
    }
    splitStyledPieces(toStyledPieces(runs), style);
    splitTextSegments(text, text.size() > 2 ? text.substr(0, 2) : std::string("|"));
    try {
        parseTextOpacity(text, 200);
    } catch (const std::exception&) {
        // A refused opacity text is thrown by design; the element reports it.
    }
    return 0;
}
