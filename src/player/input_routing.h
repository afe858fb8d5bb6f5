#pragma once
// What the player does with a key, a finger or a remote-control button, as plain functions of
// the event and the little state they need: the global key table, the slide a navigation key
// leads to, the swipe and tap of the touch screen, the touch pause and the clocks a pairing
// moves, and the remote control's buttons as keys. The loop's event switch (player_input.h)
// applies what these decide.

#include <SDL3/SDL.h>

#include <cstdint>
#include <optional>

namespace lumetta::player {

// What a key-down that no menu took does.
enum class KeyAction {
    none,
    previousSlide,       // the slide before the one on screen, the first wrapping to the last
    nextSlide,           // the slide after, the last wrapping to the first
    firstSlide,
    firstSlideUnlessOn,  // Up: the first slide, nothing while it is on screen
    lastSlide,
    lastSlideUnlessOn,   // Down: the last slide, nothing while it is on screen
    screenshot,
    wifiSetup,
    pairing,
    quit,                // Escape while Ctrl is held
    ctrlDown,            // a Ctrl key went down
};

// The global key table for a key-down with the slide on screen. Navigation, screenshot, 'w' and
// 'b' act only without the repeat flag; Escape quits only while `ctrlHeld`.
KeyAction globalKeyAction(SDL_Keycode key, bool repeat, bool ctrlHeld);

// The same table on the waiting screen (no slides): only the screenshot, 'w', 'b', Ctrl and
// Ctrl+Escape act there.
KeyAction waitingKeyAction(SDL_Keycode key, bool repeat, bool ctrlHeld);

// The index a navigation action leads to from `current` among `count` slides; none for an
// action that is not navigation, no slides, or Up/Down with their end already on screen.
std::optional<int> navigationTarget(KeyAction action, int current, int count);

// The two touch gestures: a swipe stands for a navigation key, a tap pauses.
struct TouchGesture {
    bool tap = false;
    SDL_Keycode key = 0;  // the key a swipe stands for
    bool operator==(const TouchGesture&) const = default;
};

// A movement shorter than this (normalised to the touch surface) in its larger direction is a tap.
inline constexpr float tapThreshold = 0.08f;

// One finger's gesture from its down to its up. A new down replaces a gesture under way; an up
// of another finger is ignored. Coordinates are the normalised 0..1 of the touch surface;
// values beyond it count as its edge, and a finger with a coordinate that is no number at all
// ends its gesture unread.
class TouchTracker {
public:
    void fingerDown(SDL_FingerID finger, float x, float y);
    std::optional<TouchGesture> fingerUp(SDL_FingerID finger, float x, float y);
    bool active() const { return active_; }

private:
    bool active_ = false;
    SDL_FingerID finger_ = 0;
    float startX_ = 0;
    float startY_ = 0;
};

// A tap pauses the slide for 60 s from `now`; `slideEndShift` is how much later a slide with a
// duration now ends (a tap during a pause only adds what the new pause outlasts the old one).
struct TapPause {
    std::uint64_t pauseEnd = 0;
    std::uint64_t slideEndShift = 0;
};
TapPause tapPause(std::uint64_t pauseEnd, std::uint64_t now);

// How much later the scheduled end of a slide moves after a pairing screen ran from t0 to t1:
// its length, less the part of it a touch pause (ending at `pauseEnd`) already covered.
std::uint64_t pairingEndShift(std::uint64_t t0, std::uint64_t t1, std::uint64_t pauseEnd);

// The key a remote-control (HDMI-CEC user control) button stands for; none for other buttons.
std::optional<SDL_Keycode> cecKeycode(std::uint8_t code);

}  // namespace lumetta::player
