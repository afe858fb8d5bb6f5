#pragma once
// Where a video layer lands on the render output: the box filled with the background colour
// and the letterboxed picture, for each display rotation.

#include <SDL3/SDL.h>

#include "display/slide_mapping.h"

namespace lumetta {

struct VideoPlacement {
    SDL_Rect fill{};     // the layer box as seen on the output
    SDL_Rect picture{};  // where the picture is drawn before it is turned by `angle`
    double angle = 0.0;  // degrees, about the picture's centre
    bool hasPicture = false;
};

// `view` is the viewport (already resolved against the output size); the layer rectangle is in
// slide units. All sums are made in 64-bit or double and clamped to the int range, so layer
// values far outside the slide cannot overflow. `pictureWidth`/`pictureHeight` 0: no picture.
VideoPlacement placeVideo(const SDL_Rect& view, int slideWidth, int slideHeight, const SDL_Rect& layer,
                          int rotationDegrees, int pictureWidth, int pictureHeight);

}  // namespace lumetta
