#include "objects/picture_orientation.h"

#include <array>
#include <cstring>
#include <fstream>

namespace lumetta {
namespace {

// The segments ahead of the image data hold the Exif block; it is at most one segment long.
constexpr std::size_t headLimit = 256 * 1024;

class Reader {
public:
    Reader(std::string_view bytes, bool bigEndian) : bytes_(bytes), bigEndian_(bigEndian) {}
    bool has(std::size_t at, std::size_t length) const { return at <= bytes_.size() && length <= bytes_.size() - at; }
    std::uint16_t u16(std::size_t at) const {
        const auto b0 = static_cast<std::uint8_t>(bytes_[at]);
        const auto b1 = static_cast<std::uint8_t>(bytes_[at + 1]);
        return static_cast<std::uint16_t>(bigEndian_ ? (b0 << 8) | b1 : (b1 << 8) | b0);
    }
    std::uint32_t u32(std::size_t at) const {
        const std::uint32_t high = u16(at);
        const std::uint32_t low = u16(at + 2);
        return bigEndian_ ? (high << 16) | low : (low << 16) | high;
    }

private:
    std::string_view bytes_;
    bool bigEndian_;
};

// The orientation tag of IFD0 in a TIFF block; 1 when absent or malformed.
int tiffOrientation(std::string_view tiff) {
    if (tiff.size() < 8) return 1;
    bool bigEndian = false;
    if (tiff.substr(0, 2) == "MM") {
        bigEndian = true;
    } else if (tiff.substr(0, 2) != "II") {
        return 1;
    }
    const Reader read(tiff, bigEndian);
    if (read.u16(2) != 42) return 1;
    const std::size_t directory = read.u32(4);
    if (!read.has(directory, 2)) return 1;
    const std::size_t entries = read.u16(directory);
    for (std::size_t i = 0; i < entries; ++i) {
        const std::size_t entry = directory + 2 + i * 12;
        if (!read.has(entry, 12)) return 1;
        if (read.u16(entry) != 0x0112) continue;
        // A SHORT, one of them, held in the entry itself.
        if (read.u16(entry + 2) != 3 || read.u32(entry + 4) != 1) return 1;
        const int value = read.u16(entry + 8);
        return value >= 1 && value <= 8 ? value : 1;
    }
    return 1;
}

}  // namespace

int exifOrientation(std::string_view bytes) {
    if (bytes.size() < 4 || static_cast<std::uint8_t>(bytes[0]) != 0xFF || static_cast<std::uint8_t>(bytes[1]) != 0xD8)
        return 1;
    const Reader read(bytes, true);
    std::size_t at = 2;
    while (read.has(at, 4)) {
        if (static_cast<std::uint8_t>(bytes[at]) != 0xFF) return 1;
        const auto marker = static_cast<std::uint8_t>(bytes[at + 1]);
        if (marker == 0xFF) {  // fill byte
            ++at;
            continue;
        }
        // Start of scan, end of image, or a marker without length: no Exif ahead of the data.
        if (marker == 0xDA || marker == 0xD9 || (marker >= 0xD0 && marker <= 0xD7) || marker == 0x01) return 1;
        const std::size_t length = read.u16(at + 2);
        if (length < 2 || !read.has(at + 2, length)) return 1;
        if (marker == 0xE1) {
            const std::string_view segment = bytes.substr(at + 4, length - 2);
            if (segment.size() >= 6 && segment.substr(0, 6) == std::string_view("Exif\0\0", 6)) {
                return tiffOrientation(segment.substr(6));
            }
        }
        at += 2 + length;
    }
    return 1;
}

int exifOrientationOfFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return 1;
    std::string head(headLimit, '\0');
    in.read(head.data(), static_cast<std::streamsize>(head.size()));
    head.resize(static_cast<std::size_t>(in.gcount()));
    return exifOrientation(head);
}

PictureTurn pictureTurn(int orientation) {
    static constexpr std::array<PictureTurn, 9> turns{{
        {},                    // unused
        {false, false, false}, // 1: as coded
        {false, true, false},  // 2: mirrored left to right
        {false, true, true},   // 3: half a turn
        {false, false, true},  // 4: mirrored top to bottom
        {true, false, false},  // 5: mirrored along the main diagonal
        {true, false, true},   // 6: a quarter turn clockwise
        {true, true, true},    // 7: mirrored along the other diagonal
        {true, true, false},   // 8: a quarter turn anticlockwise
    }};
    return orientation >= 1 && orientation <= 8 ? turns[static_cast<std::size_t>(orientation)] : turns[1];
}

void turnPixels(const std::uint8_t* coded, int width, int height, std::size_t codedPitch, std::size_t bytesPerPixel,
                std::uint8_t* upright, std::size_t uprightPitch, int orientation) {
    const PictureTurn turn = pictureTurn(orientation);
    const int uprightWidth = turn.swapsSides ? height : width;
    const int uprightHeight = turn.swapsSides ? width : height;
    for (int y = 0; y < uprightHeight; ++y) {
        std::uint8_t* row = upright + static_cast<std::size_t>(y) * uprightPitch;
        for (int x = 0; x < uprightWidth; ++x) {
            int sourceX = turn.swapsSides ? y : x;
            int sourceY = turn.swapsSides ? x : y;
            if (turn.mirrorsX) sourceX = width - 1 - sourceX;
            if (turn.mirrorsY) sourceY = height - 1 - sourceY;
            std::memcpy(row + static_cast<std::size_t>(x) * bytesPerPixel,
                        coded + static_cast<std::size_t>(sourceY) * codedPitch +
                            static_cast<std::size_t>(sourceX) * bytesPerPixel,
                        bytesPerPixel);
        }
    }
}

SurfaceHandle uprightSurface(SurfaceHandle surface, int orientation) {
    if (!surface || orientation <= 1 || orientation > 8) return surface;
    // Whole bytes per pixel are moved as they are; packed formats of fewer bits are widened first.
    if (SDL_BYTESPERPIXEL(surface->format) == 0 || SDL_BITSPERPIXEL(surface->format) < 8) {
        surface.reset(SDL_ConvertSurface(surface.get(), SDL_PIXELFORMAT_RGBA32));
        if (!surface) return surface;
    }
    const PictureTurn turn = pictureTurn(orientation);
    SurfaceHandle upright(SDL_CreateSurface(turn.swapsSides ? surface->h : surface->w,
                                            turn.swapsSides ? surface->w : surface->h, surface->format));
    if (!upright) return upright;
    if (SDL_Palette* palette = SDL_GetSurfacePalette(surface.get())) {
        if (!SDL_SetSurfacePalette(upright.get(), palette)) return nullptr;
    }
    if (!SDL_LockSurface(surface.get())) return nullptr;
    if (!SDL_LockSurface(upright.get())) {
        SDL_UnlockSurface(surface.get());
        return nullptr;
    }
    turnPixels(static_cast<const std::uint8_t*>(surface->pixels), surface->w, surface->h,
               static_cast<std::size_t>(surface->pitch), SDL_BYTESPERPIXEL(surface->format),
               static_cast<std::uint8_t*>(upright->pixels), static_cast<std::size_t>(upright->pitch), orientation);
    SDL_UnlockSurface(upright.get());
    SDL_UnlockSurface(surface.get());
    SDL_BlendMode blend = SDL_BLENDMODE_NONE;
    if (SDL_GetSurfaceBlendMode(surface.get(), &blend)) SDL_SetSurfaceBlendMode(upright.get(), blend);
    return upright;
}

}  // namespace lumetta
