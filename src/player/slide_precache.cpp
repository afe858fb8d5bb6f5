#include "player/slide_precache.h"

#include <algorithm>
#include <exception>
#include <iostream>
#include <variant>

#include "content/playlist.h"
#include "core/log.h"
#include "core/palette.h"
#include "objects/text_preparation.h"
#include "player/live_layer.h"

namespace lumetta::player {

namespace {

void logPlaylistLine(const std::string& message) { logLine(std::cerr, ansi::BOLD_RED, "[PLAYLIST]", " " + message); }

}  // namespace

void prepareSlide(const Playlist& playlist, std::size_t first, PreparedSlides& prepared, const PrepareText& prepare) {
    const std::size_t count = playlist.slideCount();
    if (count < 1) return;
    const std::size_t visits = std::min(count, textPrecacheSlides);
    for (std::size_t step = 0; step < visits; ++step) {
        const std::size_t index = (first + step) % count;
        if (!prepared.insert(index)) continue;
        for (const SlideLayer& layer : playlist.slideAt(index).layers) {
            const auto* text = std::get_if<TextLayer>(&layer.content);
            if (text == nullptr) continue;
            // The style bits and colour are those the text element is built with: the prepared
            // runs are found under a key made of them.
            if (prepare) {
                prepare(text->content, text->fontSize, text->fontFamily, textStyleBits(*text), text->color);
            } else {
                prepareTextAsync(text->content, text->fontSize, text->fontFamily, textStyleBits(*text), text->color);
            }
        }
    }
}

void precacheSlideTexts(const Playlist& playlist, std::size_t first, PreparedSlides& prepared,
                        const PrepareText& prepare) {
    try {
        prepareSlide(playlist, first, prepared, prepare);
    } catch (const std::exception& error) {
        logPlaylistLine(std::string("Text precache failed: ") + error.what());
    } catch (...) {
        logPlaylistLine("Text precache failed with an unknown error");
    }
}

}  // namespace lumetta::player
