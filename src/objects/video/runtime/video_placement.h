#pragma once
// Where a video layer lands on the render output: the box filled with the background colour
// and the letterboxed picture, for each display rotation.

#include <SDL3/SDL.h>

#include <optional>

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

// The parts of the box an opaque picture leaves uncovered: at most a band above, one below and
// one each side, in that order, none of them empty.
struct LetterboxBars {
    SDL_Rect rects[4]{};
    int count = 0;
};

// The bars of a placement with a picture, or nothing when the turned picture's edges fall
// between pixels (a quarter turn of a picture whose width and height differ by an odd number)
// and only filling the whole box leaves no seam.
std::optional<LetterboxBars> letterboxBars(const VideoPlacement& placement);

}  // namespace lumetta
