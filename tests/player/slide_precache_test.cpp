#include "player/slide_precache.h"

#include <gtest/gtest.h>

#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "content/playlist.h"
#include "player/player_test_support.h"

namespace lumetta::player {
namespace {

using namespace lumetta::testing;

struct Prepared {
    std::string text;
    int size;
    std::string family;
    int style;
    Colour colour;
    bool operator==(const Prepared&) const = default;
};

// A playlist of `count` slides; slide i holds the text "t<i>".
std::unique_ptr<Playlist> textPlaylist(std::size_t count, std::string name = "p") {
    auto playlist = std::make_unique<Playlist>();
    PlaylistContent content;
    content.name = std::move(name);
    for (std::size_t i = 0; i < count; ++i) {
        content.slides.push_back(
            slideOf({textLayer(0, 0, 100, 50, "t" + std::to_string(i), kWhite, kBlack)}, "s" + std::to_string(i)));
    }
    playlist->content = std::move(content);
    return playlist;
}

class Recorder {
public:
    PrepareText prepare() {
        return [this](const std::string& text, int size, const std::string& family, std::uint8_t style,
                      SDL_Color colour) {
            if (text == failOn) throw std::runtime_error("font engine gone");
            if (text == failOddlyOn) throw 42;
            calls.push_back({text, size, family, style, Colour{colour.r, colour.g, colour.b}});
        };
    }
    std::vector<std::string> texts() const {
        std::vector<std::string> out;
        for (const auto& call : calls) out.push_back(call.text);
        return out;
    }
    std::vector<Prepared> calls;
    std::string failOn;
    std::string failOddlyOn;
};

TEST(TextPrecache, LooksAtMostFourSlidesAheadAndNeverAtOneTwice) {
    const auto playlist = textPlaylist(6);
    Recorder recorder;
    PreparedSlides prepared;

    prepareSlide(*playlist, 0, prepared, recorder.prepare());
    EXPECT_EQ(recorder.texts(), (std::vector<std::string>{"t0", "t1", "t2", "t3"}));
    prepareSlide(*playlist, 1, prepared, recorder.prepare());  // only t4 is new
    prepareSlide(*playlist, 4, prepared, recorder.prepare());  // wraps: t5 new, t0 and t1 done
    prepareSlide(*playlist, 2, prepared, recorder.prepare());
    EXPECT_EQ(recorder.texts(), (std::vector<std::string>{"t0", "t1", "t2", "t3", "t4", "t5"}));
    EXPECT_EQ(prepared.size(), 6u);

    // Fewer slides than the look-ahead: each once.
    const auto two = textPlaylist(2);
    Recorder few;
    PreparedSlides twoPrepared;
    prepareSlide(*two, 1, twoPrepared, few.prepare());
    EXPECT_EQ(few.texts(), (std::vector<std::string>{"t1", "t0"}));
    // None at all: nothing happens.
    PreparedSlides none;
    prepareSlide(Playlist(), 0, none, few.prepare());
    EXPECT_EQ(none.size(), 0u);
}

// The prepared runs are found under a key of the font engine's style bits and the text colour:
// the precache must ask with exactly what the text element is built with.
TEST(TextPrecache, AsksWithTheElementsStyleBitsAndColour) {
    auto playlist = std::make_unique<Playlist>();
    PlaylistContent content;
    std::vector<SlideLayer> layers;
    for (int bits = 0; bits < 8; ++bits) {
        SlideLayer layer = textLayer(0, 0, 100, 50, "style " + std::to_string(bits), kYellow, kBlack);
        auto& text = std::get<TextLayer>(layer.content);
        text.bold = (bits & 1) != 0;
        text.italic = (bits & 2) != 0;
        text.underline = (bits & 4) != 0;
        text.fontSize = 30 + bits;
        layers.push_back(layer);
    }
    layers.push_back(rectangleLayer(0, 0, 5, 5, kRed));
    content.slides.push_back(slideOf(layers));
    playlist->content = std::move(content);

    Recorder recorder;
    PreparedSlides prepared;
    prepareSlide(*playlist, 0, prepared, recorder.prepare());
    ASSERT_EQ(recorder.calls.size(), 8u);
    for (int bits = 0; bits < 8; ++bits) {
        EXPECT_EQ(recorder.calls[static_cast<std::size_t>(bits)],
                  (Prepared{"style " + std::to_string(bits), 30 + bits, "DejaVu Sans", bits, kYellow}));
    }
}

TEST(TextPrecache, AFailureInAPassIsLoggedAndThePassGoesOn) {
    const auto playlist = textPlaylist(3);
    Recorder recorder;
    recorder.failOn = "t1";
    PreparedSlides prepared;
    ::testing::internal::CaptureStderr();
    precacheSlideTexts(*playlist, 0, prepared, recorder.prepare());
    recorder.failOn.clear();
    recorder.failOddlyOn = "t2";
    PreparedSlides again;
    precacheSlideTexts(*playlist, 2, again, recorder.prepare());
    EXPECT_EQ(::testing::internal::GetCapturedStderr(),
              "[PLAYLIST] Text precache failed: font engine gone\n"
              "[PLAYLIST] Text precache failed with an unknown error\n");
}

}  // namespace
}  // namespace lumetta::player
