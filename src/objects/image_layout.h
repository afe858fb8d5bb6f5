#pragma once
// The arithmetic behind drawing an Image: opacity text, placement of the picture in its
// slide rectangle on the current output, and the timing of animation frames.

#include <SDL3/SDL.h>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "display/element_opacity.h"
#include "display/slide_mapping.h"
#include "objects/image_fit.h"

namespace lumetta {

// The alpha byte for an opacity text: a fraction from 0 to 1; below 0 gives 0 and above 1
// saturates at 255. Leading and trailing white space are allowed. Throws
// std::invalid_argument for no number ("stof"), a non-finite value or trailing text
// ("Invalid image opacity: " + text), and std::out_of_range ("stof") beyond float range.
std::uint8_t parseImageOpacity(const std::string& text);
// The same rule for an opacity given as a number or as a text; a number that is not finite
// throws "Invalid image opacity: " and the number ("nan", "inf", "-inf").
std::uint8_t imageOpacityAlpha(const ElementOpacity& opacity);

struct ImagePlacementInput {
    SDL_Rect viewport{};      // the renderer viewport, already made non-empty
    int rotation = 0;         // display rotation in degrees as stored (0, -90, -180, -270)
    int slideWidth = 0, slideHeight = 0;
    SDL_Rect element{};       // the element's rectangle in slide coordinates
    int pictureWidth = 0, pictureHeight = 0;
    ImageFit fit = ImageFit::Stretch;
};

struct ImagePlacement {
    SDL_Rect box{};           // the element's whole rectangle on the output (the background fill)
    SDL_Rect source{};        // the part of the picture that is drawn
    SDL_Rect destination{};   // where that part lands, before any screen shift
    double angle = 0;         // degrees, for SDL's clockwise rotation
};

// Where the picture goes on the output, or nothing when the slide, element or picture has
// no area.
std::optional<ImagePlacement> placeImage(const ImagePlacementInput& input);

// Moves an animation's clock to `now` and returns the frame to show. The clock starts at
// the first call (nextFrameDue 0), restarts on the current frame after more than a minute
// without a call, and otherwise skips the frames whose time has passed. Delays of 9 ms or
// less count as 100 ms. One frame, or delays that do not match the frames, show the
// current frame without timing.
std::uint32_t advanceAnimation(const std::vector<std::uint32_t>& delays, std::size_t frameCount,
                               std::uint32_t& currentFrame, std::uint64_t& nextFrameDue, std::uint64_t now);

}  // namespace lumetta
