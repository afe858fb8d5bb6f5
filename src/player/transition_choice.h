#pragma once
// Which transition a slide change animates with, and how far along it is.
//
// The kinds are numbered by their position in `transitionKindNames`. The player loop keeps one
// TransitionPicker for its whole run, so the "random" transitions follow the same sequence on
// every start of the player.

#include <array>
#include <cstdint>
#include <optional>
#include <string_view>

namespace lumetta::player {

inline constexpr int transitionKindCount = 50;

// The kinds by name, in kind order.
inline constexpr std::array<std::string_view, transitionKindCount> transitionKindNames = {
    "push-left",
    "push-right",
    "push-up",
    "push-down",
    "cover-left",
    "cover-right",
    "cover-up",
    "cover-down",
    "cover-up-left",
    "cover-up-right",
    "cover-down-left",
    "cover-down-right",
    "particle-dissolve",
    "particle-burst-in",
    "particle-burst-out",
    "clock-wipe",
    "split-open-horizontal",
    "split-open-vertical",
    "split-close-horizontal",
    "split-close-vertical",
    "checkerboard",
    "mosaic",
    "random-horizontal-bars",
    "random-vertical-bars",
    "flip-horizontal",
    "flip-vertical",
    "cube-horizontal",
    "cube-vertical",
    "page-turn-horizontal",
    "page-turn-vertical",
    "spiral-wipe",
    "ripple",
    "shatter",
    "fade-through-white",
    "cross-fade",
    "fade-through-black",
    "zoom-in",
    "zoom-out",
    "wipe-left",
    "wipe-right",
    "wipe-up",
    "wipe-down",
    "horizontal-blinds",
    "vertical-blinds",
    "diagonal-blinds-forward",
    "diagonal-blinds-backward",
    "curtain-open-horizontal",
    "curtain-open-vertical",
    "curtain-close-horizontal",
    "curtain-close-vertical",
};

// The kind a transition name that is not in the table animates with ("fade-through-black").
inline constexpr int fallbackTransitionKind = 35;

// The kind of a name from the table (exact, case-sensitive), or nothing.
std::optional<int> transitionKindByName(std::string_view name);

// Picks the kind of each slide change.
class TransitionPicker {
public:
    static constexpr std::uint32_t seed = 334494;

    // The kind to animate the change to a slide whose transition name is `name`, or nothing
    // for a plain cut: "none", or no picture of the previous slide to animate from (the loop
    // also passes false for its other cut cases). "random" draws a kind that differs from the
    // previous random pick; any other name is looked up, unknown ones giving the fallback.
    std::optional<int> choose(std::string_view name, bool hasOutgoingFrame);

    // One random pick: uniform over the kinds, drawn again while it equals the previous pick.
    int nextRandomKind();

private:
    // One uniform draw from 0..49 off the minimal-standard generator (multiplier 48271,
    // modulus 2^31 - 1), rejecting the top of its range so that every kind is equally likely.
    int drawKind();

    std::uint32_t state_ = seed;
    int previous_ = transitionKindCount;  // none yet: the first draw is never repeated
};

// Every transition lasts this long, whatever its kind.
inline constexpr std::uint64_t transitionDurationMs = 650;

struct TransitionFrame {
    double progress = 0.0;  // eased, 0..1
    bool last = false;      // this frame is drawn at progress 1; the next shows the slide alone
};

// The frame of a transition started at `startMs`, at `nowMs` (both on the SDL tick scale).
// Smoothstep over 650 ms; a time before the start counts as the start.
TransitionFrame transitionFrameAt(std::uint64_t startMs, std::uint64_t nowMs);

}  // namespace lumetta::player
