#pragma once
// The playlist's ticker: its messages as one scrolling line in a band across the bottom of the
// screen, over the slide.
//
// The band is the full display width and a fifteenth of its height (at least 16 pixels): tall
// enough to read from across a room at 720 and 1080 lines, low enough to leave the slide's own
// bottom text mostly visible. The Ticker element loops its strip by itself (the strip, then a gap
// as wide as the band is high, then the strip again), so one copy of the text is enough and the
// scroll position wraps at that period.

#include <SDL3/SDL.h>

#include <memory>
#include <string>
#include <vector>

#include "objects/ticker.h"

namespace lumetta {
class Display;
}

namespace lumetta::player {

// Between two messages: a space, a bullet (U+2022) and a space.
inline constexpr const char* tickerSeparator = " \xE2\x80\xA2 ";
// The band moves the display width in this many frames.
inline constexpr int tickerFramesPerWidth = 350;

// The band on a display of `width` x `height`: full width, at the bottom.
SDL_Rect tickerBandRect(int width, int height);

// The messages joined by the separator.
std::string tickerText(const std::vector<std::string>& messages);

// "<width>x<height>|<text>": the ticker is built again only when this changes.
std::string tickerBuildKey(int width, int height, const std::string& text);

class TickerBand {
public:
    explicit TickerBand(Display* display);

    // Builds the ticker for these messages, keeps it when neither they nor the display size
    // changed, drops it when there are none. A ticker that fails to build logs why and stays
    // hidden; the slide goes on.
    void update(const std::vector<std::string>& messages);

    // Draws one frame of the band onto the current target and moves it on by one step. Nothing
    // while there is no ticker or it is not ready.
    void drawFrame();

    bool shown() const { return ticker_ != nullptr && ready_; }
    float position() const { return x_; }
    float step() const { return step_; }
    // Strip plus gap: where the scroll position wraps.
    int period() const { return period_; }
    const SDL_Rect& band() const { return band_; }

private:
    Display* display_;
    std::unique_ptr<Ticker> ticker_;
    std::string key_;
    SDL_Rect band_{};
    float x_ = 0.0f;
    float step_ = 0.0f;
    int period_ = 0;
    bool ready_ = false;
};

}  // namespace lumetta::player
