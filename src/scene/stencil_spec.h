#pragma once
// A mask that limits where a layer shows: a circle, a rounded rectangle or the alpha channel of
// a PNG file, placed in slide pixels.

#include <cstdint>
#include <string>

namespace lumetta {

struct StencilSpec {
    std::string type;              // "circle", "rounded-rectangle" or "image"
    std::string space = "screen";  // "screen": fixed on the screen; "layer": moves with the canvas
    std::string file;              // PNG file name of an "image" stencil, empty otherwise
    std::string sha256;            // lower-case digest of that file, empty otherwise
    std::int32_t x = 0;
    std::int32_t y = 0;
    std::int32_t width = 0;
    std::int32_t height = 0;
    double radius = 0;             // corner radius of a "rounded-rectangle"
    bool invert = false;           // show the layer outside the mask instead of inside
};

}  // namespace lumetta
