#include "player/input_routing.h"

#include <algorithm>
#include <cmath>

#include "screens/event_pump.h"
#include "screens/pause_overlay.h"

namespace lumetta::player {

KeyAction globalKeyAction(SDL_Keycode key, bool repeat, bool ctrlHeld) {
    if (screens::isCtrlKey(key)) return KeyAction::ctrlDown;
    if (key == SDLK_ESCAPE) return ctrlHeld ? KeyAction::quit : KeyAction::none;
    // Everything else acts once per press: a held key does not run through the slides.
    if (repeat) return KeyAction::none;
    switch (key) {
        case SDLK_LEFT:
        case SDLK_PAGEDOWN: return KeyAction::previousSlide;
        case SDLK_RIGHT:
        case SDLK_PAGEUP: return KeyAction::nextSlide;
        case SDLK_HOME:
        case SDLK_AC_HOME: return KeyAction::firstSlide;
        case SDLK_UP: return KeyAction::firstSlideUnlessOn;
        case SDLK_END: return KeyAction::lastSlide;
        case SDLK_DOWN: return KeyAction::lastSlideUnlessOn;
        case SDLK_PRINTSCREEN: return KeyAction::screenshot;
        case SDLK_W: return KeyAction::wifiSetup;
        case SDLK_B: return KeyAction::pairing;
        default: return KeyAction::none;
    }
}

KeyAction waitingKeyAction(SDL_Keycode key, bool repeat, bool ctrlHeld) {
    const KeyAction action = globalKeyAction(key, repeat, ctrlHeld);
    switch (action) {
        case KeyAction::screenshot:
        case KeyAction::wifiSetup:
        case KeyAction::pairing:
        case KeyAction::quit:
        case KeyAction::ctrlDown: return action;
        default: return KeyAction::none;
    }
}

std::optional<int> navigationTarget(KeyAction action, int current, int count) {
    if (count <= 0) return std::nullopt;
    // An index from before a playlist change may lie outside the list: it counts as its
    // place modulo the count.
    const int on = ((current % count) + count) % count;
    switch (action) {
        case KeyAction::previousSlide: return (on + count - 1) % count;
        case KeyAction::nextSlide: return (on + 1) % count;
        case KeyAction::firstSlide: return 0;
        case KeyAction::firstSlideUnlessOn: return on == 0 ? std::nullopt : std::optional<int>(0);
        case KeyAction::lastSlide: return count - 1;
        case KeyAction::lastSlideUnlessOn: return on == count - 1 ? std::nullopt : std::optional<int>(count - 1);
        default: return std::nullopt;
    }
}

void TouchTracker::fingerDown(SDL_FingerID finger, float x, float y) {
    if (!std::isfinite(x) || !std::isfinite(y)) {
        active_ = false;
        return;
    }
    active_ = true;
    finger_ = finger;
    startX_ = std::clamp(x, 0.0f, 1.0f);
    startY_ = std::clamp(y, 0.0f, 1.0f);
}

std::optional<TouchGesture> TouchTracker::fingerUp(SDL_FingerID finger, float x, float y) {
    if (!active_ || finger != finger_) return std::nullopt;
    active_ = false;
    if (!std::isfinite(x) || !std::isfinite(y)) return std::nullopt;
    const float dx = std::clamp(x, 0.0f, 1.0f) - startX_;
    const float dy = std::clamp(y, 0.0f, 1.0f) - startY_;
    if (std::fabs(dx) >= std::fabs(dy)) {
        if (std::fabs(dx) < tapThreshold) return TouchGesture{true, 0};
        return TouchGesture{false, dx < 0 ? SDLK_LEFT : SDLK_RIGHT};
    }
    if (std::fabs(dy) < tapThreshold) return TouchGesture{true, 0};
    // Upwards to the first slide, downwards to the last.
    return TouchGesture{false, dy < 0 ? SDLK_HOME : SDLK_END};
}

TapPause tapPause(std::uint64_t pauseEnd, std::uint64_t now) {
    const std::uint64_t old = std::max(pauseEnd, now);
    const std::uint64_t fresh = now + screens::touchPauseMs;
    return TapPause{fresh, fresh > old ? fresh - old : 0};
}

std::uint64_t pairingEndShift(std::uint64_t t0, std::uint64_t t1, std::uint64_t pauseEnd) {
    if (t1 <= t0) return 0;
    return t1 - std::clamp(pauseEnd, t0, t1);
}

std::optional<SDL_Keycode> cecKeycode(std::uint8_t code) {
    switch (code) {
        case 0x00: return SDLK_RETURN;  // Select
        case 0x01: return SDLK_UP;
        case 0x02: return SDLK_DOWN;
        case 0x03: return SDLK_LEFT;
        case 0x04: return SDLK_RIGHT;
        case 0x0D: return SDLK_AC_BACK;  // Exit
        default: return std::nullopt;
    }
}

}  // namespace lumetta::player
