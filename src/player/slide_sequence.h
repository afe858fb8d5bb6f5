#pragma once
// The rules of the slide sequence that do not need the loop: how long a slide stays, when it
// ends, which transition takes the screen to it (turned with the screen), when its change is
// reported as forced, and the position indicator of a slide that does not end by itself.
//
// Times are plain numbers handed in by the caller: the system clock in milliseconds since the
// epoch for slide start and end, SDL's tick scale for the indicator. Nothing here reads a clock.

#include <SDL3/SDL.h>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

#include "player/transition_choice.h"

namespace lumetta {
struct Slide;
}

namespace lumetta::player {

// A duration above this many seconds is taken for a typing slip and plays as the fallback.
inline constexpr int maxSlideDurationSeconds = 600;
inline constexpr int fallbackSlideDurationSeconds = 5;
// A slide due to start longer ago than this (the loop stalled) starts from now instead.
inline constexpr std::int64_t slideStallLimitMs = 1000;

// The seconds a slide stays: its duration, above 600 the fallback of 5, below 0 none (0).
int effectiveSlideDuration(std::int32_t durationSeconds);

struct SlideTimes {
    std::int64_t startMs = 0;
    std::int64_t endMs = 0;
};

// Start and end of a slide being set up. `carriedStartMs` is the end time of the slide before
// when that one ran out by itself, so drawing time never accumulates into drift; nothing (first
// slide, navigation, switch) starts now. A carried start more than a second in the past starts
// now as well. A start fixed by the group's leader is taken as it is (`fixedByFollow`).
SlideTimes slideTimes(std::optional<std::int64_t> carriedStartMs, std::int64_t nowMs, int durationSeconds,
                      bool fixedByFollow = false);

// The slide's times once the wall clock was set back while it showed (a clock that ran ahead,
// corrected): when more time is left than the whole duration plus `leadMs` (the most a start
// may lie ahead, as a group's first slide does), start and end move back together so that the
// `shownMs` already shown (steady clock) count and the slide ends, and moves, as it would have.
// Nothing when the times stand.
std::optional<SlideTimes> slideTimesAfterClockStep(const SlideTimes& times, std::int64_t durationMs,
                                                   std::int64_t nowMs, std::int64_t shownMs, std::int64_t leadMs);

// What the end test of a frame cycle looks at.
struct SlideEndCheck {
    bool hasVideo = false;
    int durationSeconds = 0;  // effective
    bool paused = false;
    bool allVideosFinished = false;  // of the last drawn frame
    std::size_t slideCount = 0;
    std::int64_t nowMs = 0;  // system clock
    std::int64_t endMs = 0;
};

// Whether the slide on screen ends in this cycle: a video slide at the end of all its videos
// (not while paused, except in a playlist of one slide, which then starts over), any other at
// its end time when it has a duration and playback is not paused.
bool slideHasEnded(const SlideEndCheck& check);

// Whether a slide ends without navigation: it has a duration or a video.
bool slideEndsByItself(bool hasVideo, int durationSeconds);

// Number of video layers of a slide.
std::size_t videoLayerCount(const Slide& slide);

// A slide change with video is reported even when the slide's id was reported last: the
// service counts plays of video slides.
bool slideReportForced(std::size_t videoLayers, std::size_t slideCount);

// The kind a directional transition takes on a screen turned by `orientationDegrees` (any
// value, taken modulo 360), so that it moves the same way as seen by the viewer; up to 89
// degrees, and for the kinds without a direction, the kind itself.
int rotatedTransitionKind(int kind, int orientationDegrees);

struct SlideTransition {
    int kind = fallbackTransitionKind;
    bool active = false;
};

// The transition into a slide: none in a playlist of one slide, for Transition::None and
// without a picture of a previous slide (the kind then stays the fallback, inactive); otherwise
// the picker's kind turned with the screen.
SlideTransition chooseSlideTransition(TransitionPicker& picker, Transition transition, std::size_t slideCount,
                                      bool hasPreviousPicture, int orientationDegrees);
// The same by name (TransitionPicker::choose by name).
SlideTransition chooseSlideTransition(TransitionPicker& picker, std::string_view name, std::size_t slideCount,
                                      bool hasPreviousPicture, int orientationDegrees);

// The camera offsets of this thread's draw state, which place a screen within a canvas wider than
// one screen ("viewportX" and "viewportY" of the configuration, set by hand per screen), each
// clamped to -100000..100000 so that a typing slip cannot throw the canvas out of all reach.
inline constexpr int viewportOffsetLimit = 100000;
void setViewportOffsets(int x, int y);

// The position indicator: while a slide without duration and video is young, a bar at the right
// edge shows where in the playlist the screen stands, fading out over five seconds.
inline constexpr std::uint64_t positionBarMs = 5000;
inline constexpr SDL_Color positionBarColour{255, 128, 0, 255};

struct PositionBar {
    SDL_FRect rect{};
    Uint8 alpha = 0;
};

// The bar `elapsedMs` after the slide started on a screen of `width` x `height`; nothing once
// five seconds passed or for an index outside the playlist.
std::optional<PositionBar> positionBarAt(int width, int height, std::size_t index, std::size_t slideCount,
                                         std::uint64_t elapsedMs);

// Fills the bar, blended, onto the current target; the renderer's draw colour and blend mode
// are put back. False when an SDL call fails.
bool drawPositionBar(SDL_Renderer* renderer, const PositionBar& bar);

}  // namespace lumetta::player
