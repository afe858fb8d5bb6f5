// The start of a picture file as it comes from the service: its Exif orientation is read from
// whatever bytes are there, and a small picture is turned as the reading says.
#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

#include "objects/picture_orientation.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
    const int orientation = lumetta::exifOrientation(bytes);
    if (orientation < 1 || orientation > 8) __builtin_trap();
    // A picture of 3 × 2 pixels of 3 bytes, turned: every pixel lands inside the upright one.
    const std::vector<std::uint8_t> coded(18, 7);
    std::vector<std::uint8_t> upright(18, 0);
    const bool swaps = lumetta::pictureTurn(orientation).swapsSides;
    lumetta::turnPixels(coded.data(), 3, 2, 9, 3, upright.data(), swaps ? 6 : 9, orientation);
    for (std::uint8_t byte : upright) {
        if (byte != 7) __builtin_trap();
    }
    return 0;
}
