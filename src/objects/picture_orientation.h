#pragma once
// The turn a camera records in a picture's Exif data ("Orientation", values 1 to 8): the coded
// pixels are drawn turned and mirrored as it says, so that a photo taken upright shows upright.
// One reading of the tag and one pixel mapping serve the decoded pictures and their reduced
// copies alike.

#include <SDL3/SDL.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "display/sdl_handles.h"

namespace lumetta {

// The Exif orientation of a JPEG, read from its first "Exif" APP1 segment before the image data:
// 1 to 8, or 1 (as coded) when there is none or the data is malformed. Never reads outside
// `bytes`.
int exifOrientation(std::string_view bytes);
// The same for the start of the file at `path` (the segments come first); 1 when it cannot be
// read.
int exifOrientationOfFile(const std::string& path);

// How the coded pixels map onto the upright picture: for an upright pixel (x, y), the coded one
// is (y, x) when `swapsSides`, else (x, y), then mirrored across the coded width and height as
// flagged.
struct PictureTurn {
    bool swapsSides = false;
    bool mirrorsX = false;
    bool mirrorsY = false;
};
PictureTurn pictureTurn(int orientation);

// Copies `width` × `height` coded pixels of `bytesPerPixel` bytes into `upright`, turned; the
// upright picture is height × width when the turn swaps the sides.
void turnPixels(const std::uint8_t* coded, int width, int height, std::size_t codedPitch, std::size_t bytesPerPixel,
                std::uint8_t* upright, std::size_t uprightPitch, int orientation);

// The surface as it is to be seen: the same surface for orientation 1, otherwise a new one with
// the pixels turned (null when SDL cannot make it).
SurfaceHandle uprightSurface(SurfaceHandle surface, int orientation);

}  // namespace lumetta
