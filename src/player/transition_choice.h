#pragma once
// Which transition a slide change animates with, and how far along it is.
//
// The kinds are numbered by their position in `transitionKindNames`. The player loop keeps one
// TransitionPicker for its whole run, so the "random" transitions follow the same sequence on
// every start of the player.

#include <array>
#include <cstdint>
#include <cstddef>
#include <optional>
#include <span>
#include <string_view>

#include "content/slide_effects.h"

namespace lumetta::player {

// The kinds are the transitions that animate, in the order of the one table of transition
// names (content/slide_effects.h): kind 0 is Transition::PushLeft.
inline constexpr int transitionKindCount =
    static_cast<int>(transitionNameTable.size()) - static_cast<int>(firstAnimatedTransition);

// The kinds by name, in kind order: the animated part of the transition name table.
inline constexpr std::span<const std::string_view, transitionKindCount> transitionKindNames(
    transitionNameTable.data() + static_cast<std::size_t>(firstAnimatedTransition), transitionKindCount);

// The kind of an animated transition; nothing for Transition::None and Transition::Random.
constexpr std::optional<int> transitionKind(Transition transition) {
    const int kind = static_cast<int>(transition) - static_cast<int>(firstAnimatedTransition);
    if (kind < 0 || kind >= transitionKindCount) return std::nullopt;
    return kind;
}

// The kind a transition name that is not in the table animates with ("fade-through-black").
inline constexpr int fallbackTransitionKind = *transitionKind(Transition::FadeThroughBlack);
static_assert(fallbackTransitionKind == 35);

// The kind of a name from the table (exact, case-sensitive), or nothing.
std::optional<int> transitionKindByName(std::string_view name);

// Picks the kind of each slide change.
class TransitionPicker {
public:
    static constexpr std::uint32_t seed = 334494;

    // The kind to animate the change to a slide that enters with `transition`, or nothing for a
    // plain cut: Transition::None, or no picture of the previous slide to animate from (the loop
    // also passes false for its other cut cases). Transition::Random draws a kind that differs
    // from the previous random pick.
    std::optional<int> choose(Transition transition, bool hasOutgoingFrame);
    // The same by name; a name that is not in the table animates with the fallback kind.
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
