#pragma once
// Keeps the texts of the coming slides prepared ahead of them; a newly delivered playlist has its
// first texts asked for before it becomes current.
//
// Text is laid out from glyph surfaces that a background worker renders; a text whose surfaces
// are not ready when its slide is built is left out of that showing. So every slide pass asks for
// the texts of the next few slides, each slide at most once per playlist.

#include <SDL3/SDL.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <unordered_set>

namespace lumetta {
class Playlist;
}

namespace lumetta::player {

// How many slides a pass looks ahead, the one on screen included.
inline constexpr std::size_t textPrecacheSlides = 4;

// The slide indices of one playlist whose texts were asked for.
class PreparedSlides {
public:
    PreparedSlides() : indices_(1) { indices_.max_load_factor(1.0f); }
    // False when the index was already in.
    bool insert(std::size_t index) { return indices_.insert(index).second; }
    bool contains(std::size_t index) const { return indices_.contains(index); }
    std::size_t size() const { return indices_.size(); }

private:
    std::unordered_set<std::size_t> indices_;
};

// Queues the background preparation of one text: (text, font size, font family, the font
// engine's style bits (bold 1, italic 2, underline 4), colour). By default prepareTextAsync.
using PrepareText = std::function<void(const std::string& text, int fontSize, const std::string& fontFamily,
                                       std::uint8_t style, SDL_Color colour)>;

// Asks for the texts of min(count, 4) slides from `first` on (wrapping), skipping the slides
// already in `prepared` and adding the others. A failure of the preparation is thrown on.
void prepareSlide(const Playlist& playlist, std::size_t first, PreparedSlides& prepared,
                  const PrepareText& prepare = {});

// The same inside a slide pass: a failure is logged ("[PLAYLIST] Text precache failed: ") and
// the pass goes on.
void precacheSlideTexts(const Playlist& playlist, std::size_t first, PreparedSlides& prepared,
                        const PrepareText& prepare = {});

}  // namespace lumetta::player
