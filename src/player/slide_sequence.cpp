#include "player/slide_sequence.h"

#include <algorithm>
#include <array>
#include <climits>
#include <cmath>
#include <variant>

#include "content/slide_model.h"
#include "display/draw_context.h"
#include "player/transitions.h"

namespace lumetta::player {

int effectiveSlideDuration(std::int32_t durationSeconds) {
    if (durationSeconds > maxSlideDurationSeconds) return fallbackSlideDurationSeconds;
    return std::max<std::int32_t>(durationSeconds, 0);
}

SlideTimes slideTimes(std::optional<std::int64_t> carriedStartMs, std::int64_t nowMs, int durationSeconds,
                      bool fixedByFollow) {
    std::int64_t start = carriedStartMs.value_or(nowMs);
    if (!fixedByFollow && start < nowMs - slideStallLimitMs) start = nowMs;
    return {start, start + static_cast<std::int64_t>(std::max(durationSeconds, 0)) * 1000};
}

std::optional<SlideTimes> slideTimesAfterClockStep(const SlideTimes& times, std::int64_t durationMs,
                                                   std::int64_t nowMs, std::int64_t shownMs, std::int64_t leadMs) {
    // Wide arithmetic: the times may lie anywhere in their range.
    const auto left = static_cast<__int128>(times.endMs) - nowMs;
    if (left <= static_cast<__int128>(std::max<std::int64_t>(durationMs, 0)) + std::max<std::int64_t>(leadMs, 0)) {
        return std::nullopt;
    }
    const std::int64_t start = nowMs - std::max<std::int64_t>(shownMs, 0);
    const auto end = static_cast<__int128>(times.endMs) + (static_cast<__int128>(start) - times.startMs);
    return SlideTimes{start, static_cast<std::int64_t>(std::clamp<__int128>(end, start, INT64_MAX))};
}

bool slideHasEnded(const SlideEndCheck& check) {
    if (check.hasVideo) {
        if (!check.allVideosFinished) return false;
        return !check.paused || check.slideCount == 1;
    }
    return check.durationSeconds > 0 && !check.paused && check.nowMs >= check.endMs;
}

bool slideEndsByItself(bool hasVideo, int durationSeconds) { return hasVideo || durationSeconds > 0; }

std::size_t videoLayerCount(const Slide& slide) {
    return static_cast<std::size_t>(std::count_if(slide.layers.begin(), slide.layers.end(), [](const SlideLayer& layer) {
        return std::holds_alternative<VideoLayer>(layer.content);
    }));
}

bool slideReportForced(std::size_t videoLayers, std::size_t slideCount) {
    return videoLayers > 0 && (slideCount > 1 || videoLayers > 1);
}

namespace {

using namespace transition;

// One directional kind and what it becomes at 90..179, 180..269 and 270..359 degrees.
struct TurnedKind {
    int kind;
    std::array<int, 3> turned;
};

constexpr std::array<TurnedKind, 36> turnedKinds{{
    {pushLeft, {pushDown, pushRight, pushUp}},
    {pushRight, {pushUp, pushLeft, pushDown}},
    {pushUp, {pushLeft, pushDown, pushRight}},
    {pushDown, {pushRight, pushUp, pushLeft}},
    {coverLeft, {coverDown, coverRight, coverUp}},
    {coverRight, {coverUp, coverLeft, coverDown}},
    {coverUp, {coverLeft, coverDown, coverRight}},
    {coverDown, {coverRight, coverUp, coverLeft}},
    {coverUpLeft, {coverDownLeft, coverDownRight, coverUpRight}},
    {coverUpRight, {coverUpLeft, coverDownLeft, coverDownRight}},
    {coverDownLeft, {coverDownRight, coverUpRight, coverUpLeft}},
    {coverDownRight, {coverUpRight, coverUpLeft, coverDownLeft}},
    {wipeLeft, {wipeDown, wipeRight, wipeUp}},
    {wipeRight, {wipeUp, wipeLeft, wipeDown}},
    {wipeUp, {wipeLeft, wipeDown, wipeRight}},
    {wipeDown, {wipeRight, wipeUp, wipeLeft}},
    // Pairs along the two axes: a quarter turn swaps them, a half turn keeps them.
    {splitOpenHorizontal, {splitOpenVertical, splitOpenHorizontal, splitOpenVertical}},
    {splitOpenVertical, {splitOpenHorizontal, splitOpenVertical, splitOpenHorizontal}},
    {splitCloseHorizontal, {splitCloseVertical, splitCloseHorizontal, splitCloseVertical}},
    {splitCloseVertical, {splitCloseHorizontal, splitCloseVertical, splitCloseHorizontal}},
    {randomHorizontalBars, {randomVerticalBars, randomHorizontalBars, randomVerticalBars}},
    {randomVerticalBars, {randomHorizontalBars, randomVerticalBars, randomHorizontalBars}},
    {flipHorizontal, {flipVertical, flipHorizontal, flipVertical}},
    {flipVertical, {flipHorizontal, flipVertical, flipHorizontal}},
    {cubeHorizontal, {cubeVertical, cubeHorizontal, cubeVertical}},
    {cubeVertical, {cubeHorizontal, cubeVertical, cubeHorizontal}},
    {pageTurnHorizontal, {pageTurnVertical, pageTurnHorizontal, pageTurnVertical}},
    {pageTurnVertical, {pageTurnHorizontal, pageTurnVertical, pageTurnHorizontal}},
    {horizontalBlinds, {verticalBlinds, horizontalBlinds, verticalBlinds}},
    {verticalBlinds, {horizontalBlinds, verticalBlinds, horizontalBlinds}},
    {diagonalBlindsForward, {diagonalBlindsBackward, diagonalBlindsForward, diagonalBlindsBackward}},
    {diagonalBlindsBackward, {diagonalBlindsForward, diagonalBlindsBackward, diagonalBlindsForward}},
    {curtainOpenHorizontal, {curtainOpenVertical, curtainOpenHorizontal, curtainOpenVertical}},
    {curtainOpenVertical, {curtainOpenHorizontal, curtainOpenVertical, curtainOpenHorizontal}},
    {curtainCloseHorizontal, {curtainCloseVertical, curtainCloseHorizontal, curtainCloseVertical}},
    {curtainCloseVertical, {curtainCloseHorizontal, curtainCloseVertical, curtainCloseHorizontal}},
}};

}  // namespace

int rotatedTransitionKind(int kind, int orientationDegrees) {
    int r = orientationDegrees % 360;
    if (r < 0) r += 360;
    if (r <= 89) return kind;
    const std::size_t quarter = r <= 179 ? 0 : r <= 269 ? 1 : 2;
    for (const TurnedKind& entry : turnedKinds) {
        if (entry.kind == kind) return entry.turned[quarter];
    }
    return kind;
}

namespace {

template <typename Given>
SlideTransition chooseTurned(TransitionPicker& picker, Given transition, std::size_t slideCount,
                             bool hasPreviousPicture, int orientationDegrees) {
    // The one-slide case is decided before the picker, so a "random" slide shown alone does not
    // use up a draw and the sequence of random kinds stays the same for every playlist.
    const std::optional<int> kind = picker.choose(transition, hasPreviousPicture && slideCount > 1);
    if (!kind) return {};
    return {rotatedTransitionKind(*kind, orientationDegrees), true};
}

}  // namespace

SlideTransition chooseSlideTransition(TransitionPicker& picker, Transition transition, std::size_t slideCount,
                                      bool hasPreviousPicture, int orientationDegrees) {
    return chooseTurned(picker, transition, slideCount, hasPreviousPicture, orientationDegrees);
}

SlideTransition chooseSlideTransition(TransitionPicker& picker, std::string_view name, std::size_t slideCount,
                                      bool hasPreviousPicture, int orientationDegrees) {
    return chooseTurned(picker, name, slideCount, hasPreviousPicture, orientationDegrees);
}

void setViewportOffsets(int x, int y) {
    ThreadDrawState& state = initThreadDrawState();
    state.offsetX = std::clamp(x, -viewportOffsetLimit, viewportOffsetLimit);
    state.offsetY = std::clamp(y, -viewportOffsetLimit, viewportOffsetLimit);
}

std::optional<PositionBar> positionBarAt(int width, int height, std::size_t index, std::size_t slideCount,
                                         std::uint64_t elapsedMs) {
    if (elapsedMs >= positionBarMs || slideCount == 0 || index >= slideCount || width <= 0 || height <= 0) {
        return std::nullopt;
    }
    const float barWidth = std::clamp(static_cast<float>(width) * 0.005f, 4.0f, 12.0f);
    const float barHeight = static_cast<float>(height) / static_cast<float>(slideCount);
    PositionBar bar;
    bar.rect = {static_cast<float>(width) - barWidth, static_cast<float>(index) * barHeight, barWidth, barHeight};
    const double remaining = 1.0 - static_cast<double>(elapsedMs) / static_cast<double>(positionBarMs);
    bar.alpha = static_cast<Uint8>(255.0 * remaining);
    return bar;
}

bool drawPositionBar(SDL_Renderer* renderer, const PositionBar& bar) {
    Uint8 r = 0, g = 0, b = 0, a = 0;
    SDL_BlendMode mode = SDL_BLENDMODE_NONE;
    if (!SDL_GetRenderDrawColor(renderer, &r, &g, &b, &a) || !SDL_GetRenderDrawBlendMode(renderer, &mode)) return false;
    const bool drawn = SDL_SetRenderDrawBlendMode(renderer, SDL_BLENDMODE_BLEND) &&
                       SDL_SetRenderDrawColor(renderer, positionBarColour.r, positionBarColour.g, positionBarColour.b,
                                              bar.alpha) &&
                       SDL_RenderFillRect(renderer, &bar.rect);
    SDL_SetRenderDrawColor(renderer, r, g, b, a);
    SDL_SetRenderDrawBlendMode(renderer, mode);
    return drawn;
}

}  // namespace lumetta::player
