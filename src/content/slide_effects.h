#pragma once
// The effects a slide is shown with: the transition that brings it on screen and the slow camera
// move over it. Each has one table of names, in the order the playlist document numbers them;
// the reader, the player and the tests all take the names from here.

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

#include "core/named_enum.h"

namespace lumetta {

// The enumerators follow the names of `transitionNameTable` one for one.
enum class Transition : std::uint8_t {
    None,
    Random,
    PushLeft,
    PushRight,
    PushUp,
    PushDown,
    CoverLeft,
    CoverRight,
    CoverUp,
    CoverDown,
    CoverUpLeft,
    CoverUpRight,
    CoverDownLeft,
    CoverDownRight,
    ParticleDissolve,
    ParticleBurstIn,
    ParticleBurstOut,
    ClockWipe,
    SplitOpenHorizontal,
    SplitOpenVertical,
    SplitCloseHorizontal,
    SplitCloseVertical,
    Checkerboard,
    Mosaic,
    RandomHorizontalBars,
    RandomVerticalBars,
    FlipHorizontal,
    FlipVertical,
    CubeHorizontal,
    CubeVertical,
    PageTurnHorizontal,
    PageTurnVertical,
    SpiralWipe,
    Ripple,
    Shatter,
    FadeThroughWhite,
    CrossFade,
    FadeThroughBlack,
    ZoomIn,
    ZoomOut,
    WipeLeft,
    WipeRight,
    WipeUp,
    WipeDown,
    HorizontalBlinds,
    VerticalBlinds,
    DiagonalBlindsForward,
    DiagonalBlindsBackward,
    CurtainOpenHorizontal,
    CurtainOpenVertical,
    CurtainCloseHorizontal,
    CurtainCloseVertical,
};

inline constexpr std::array<std::string_view, 52> transitionNameTable = {
    "none",
    "random",
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
static_assert(static_cast<std::size_t>(Transition::CurtainCloseVertical) + 1 == transitionNameTable.size());

// The transitions that animate, from PushLeft on: all but None and Random.
inline constexpr Transition firstAnimatedTransition = Transition::PushLeft;

// The names in index order: the 52 of the table.
constexpr std::span<const std::string_view> transitionNames() { return transitionNameTable; }
constexpr std::string_view transitionName(Transition transition) { return enumName(transitionNameTable, transition); }
// Exact names only (letter case included).
constexpr std::optional<Transition> transitionByName(std::string_view name) {
    return enumByName<Transition>(transitionNameTable, name);
}

// The enumerators follow the names of `motionEffectNameTable` one for one.
enum class MotionEffect : std::uint8_t {
    None,
    PanLeft,
    PanRight,
    PanUp,
    PanDown,
    PanUpLeft,
    PanUpRight,
    PanDownLeft,
    PanDownRight,
    ZoomInSlow,
    ZoomOutSlow,
    KenBurnsUpLeft,
    KenBurnsUpRight,
    KenBurnsDownLeft,
    KenBurnsDownRight,
};

inline constexpr std::array<std::string_view, 15> motionEffectNameTable = {
    "none",
    "pan-left",
    "pan-right",
    "pan-up",
    "pan-down",
    "pan-up-left",
    "pan-up-right",
    "pan-down-left",
    "pan-down-right",
    "zoom-in-slow",
    "zoom-out-slow",
    "ken-burns-up-left",
    "ken-burns-up-right",
    "ken-burns-down-left",
    "ken-burns-down-right",
};
static_assert(static_cast<std::size_t>(MotionEffect::KenBurnsDownRight) + 1 == motionEffectNameTable.size());

// The names in index order: the 15 of the table.
constexpr std::span<const std::string_view> motionEffectNames() { return motionEffectNameTable; }
constexpr std::string_view motionEffectName(MotionEffect effect) { return enumName(motionEffectNameTable, effect); }
constexpr std::optional<MotionEffect> motionEffectByName(std::string_view name) {
    return enumByName<MotionEffect>(motionEffectNameTable, name);
}

}  // namespace lumetta
