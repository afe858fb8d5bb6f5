#pragma once
// The slow camera move over a slide between transitions: a window a little smaller than the
// slide's picture is cut out and stretched over the whole screen, and it pans, zooms, or zooms
// while drifting as the slide's display time runs from progress 0 to 1.

#include <SDL3/SDL.h>

#include <cstdint>
#include <string_view>

#include "content/slide_effects.h"
#include "display/draw.h"

namespace lumetta::player {

// How far the motion of a slide shown since `slideStartMs` (wall clock) has run at `nowMs`: over
// the slide's display duration in seconds, or over 30 s for a slide without one (0; a negative
// duration counts the same); clamped into [0, 1], so the move then holds its end position.
double motionProgress(std::int64_t nowMs, std::int64_t slideStartMs, double durationSeconds);

// The part of a width x height picture that motion effect `name` shows at `progress` (clamped
// into [0, 1], NaN as 0). The zoom (the fraction cut away) comes from the whole name:
// "zoom-out-slow" 0.08·(1 - p), "zoom-in-slow" and any "ken-burns-" name 0.08·p, every other
// name 0.08. The direction comes from the words "left"/"right" and "up"/"down" anywhere in the
// name (left and up win): the window travels from the opposite margin to the named one. At
// least 1 x 1. Only for a positive size; "none" is the caller's to handle.
SDL_Rect motionWindow(int width, int height, std::string_view name, double progress);

// Draws the picture onto the renderer's current target of width x height pixels through the
// window of motion effect `name`; "none" or a size that is not positive draws the whole picture
// over the whole target. Nothing without a renderer or texture. One texture draw.
void applyImageMotion(SDL_Renderer* renderer, SDL_Texture* texture, int width, int height, std::string_view name,
                      double progress, DrawSubmitter& submitter = sdlDrawSubmitter());
// The same for a slide's motion effect, by its name.
void applyImageMotion(SDL_Renderer* renderer, SDL_Texture* texture, int width, int height, MotionEffect effect,
                      double progress, DrawSubmitter& submitter = sdlDrawSubmitter());

}  // namespace lumetta::player
