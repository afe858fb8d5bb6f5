// Pictures taken upright on a phone are stored as the sensor saw them, with an Exif tag saying how
// to turn them: the tag's reading, the one pixel mapping for all eight values, and decoded
// pictures that come out upright.
#include "objects/picture_orientation.h"

#include <SDL3/SDL.h>
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "objects/prepared_image_cache.h"
#include "support/exif_jpeg.h"
#include "support/temp_dir.h"

namespace lumetta {
namespace {

using testing::exifOrientationSegment;

std::string jpegAround(const std::string& segments) {
    // Start of image, the segments, then a start of scan: whatever follows is image data.
    return std::string("\xFF\xD8", 2) + segments + std::string("\xFF\xDA\x00\x02", 4) + "data";
}

TEST(ExifOrientation, ReadsTheTagAheadOfTheImageDataAndTakesAnythingMalformedAsCoded) {
    const std::string app0 = std::string("\xFF\xE0\x00\x07", 4) + std::string("JFIF\0", 5);
    std::string truncated = exifOrientationSegment(6);
    truncated.resize(truncated.size() - 8);
    truncated[3] = static_cast<char>(truncated.size() - 2);
    std::string wrongType = exifOrientationSegment(6);
    wrongType[4 + 6 + 8 + 2 + 2 + 1] = 4;  // LONG instead of SHORT
    const struct {
        const char* what;
        std::string bytes;
        int orientation;
    } cases[] = {
        {"big-endian", jpegAround(exifOrientationSegment(6)), 6},
        {"little-endian", jpegAround(exifOrientationSegment(8, false)), 8},
        {"after other segments", jpegAround(app0 + exifOrientationSegment(3)), 3},
        {"every value", jpegAround(exifOrientationSegment(5)), 5},
        {"out of range", jpegAround(exifOrientationSegment(9)), 1},
        {"zero", jpegAround(exifOrientationSegment(0)), 1},
        {"none", jpegAround(app0), 1},
        {"after the image data", jpegAround("") + exifOrientationSegment(6), 1},
        {"cut off", jpegAround(truncated), 1},
        {"not a short", jpegAround(wrongType), 1},
        {"segment longer than the file", std::string("\xFF\xD8\xFF\xE1\x40\x00", 6) + "Exif", 1},
        {"not a JPEG", exifOrientationSegment(6), 1},
        {"empty", "", 1},
    };
    for (const auto& c : cases) EXPECT_EQ(exifOrientation(c.bytes), c.orientation) << c.what;
}

// The coded picture
//   0 1 2
//   3 4 5
// as each of the eight values has it drawn.
TEST(PictureTurn, MapsTheCodedPixelsForEachOrientation) {
    const std::vector<std::uint8_t> coded{0, 1, 2, 3, 4, 5};
    const struct {
        int orientation;
        int width;
        std::vector<std::uint8_t> upright;
    } cases[] = {
        {1, 3, {0, 1, 2, 3, 4, 5}}, {2, 3, {2, 1, 0, 5, 4, 3}}, {3, 3, {5, 4, 3, 2, 1, 0}},
        {4, 3, {3, 4, 5, 0, 1, 2}}, {5, 2, {0, 3, 1, 4, 2, 5}}, {6, 2, {3, 0, 4, 1, 5, 2}},
        {7, 2, {5, 2, 4, 1, 3, 0}}, {8, 2, {2, 5, 1, 4, 0, 3}},
    };
    for (const auto& c : cases) {
        std::vector<std::uint8_t> upright(6, 0xff);
        turnPixels(coded.data(), 3, 2, 3, 1, upright.data(), static_cast<std::size_t>(c.width), c.orientation);
        EXPECT_EQ(upright, c.upright) << c.orientation;
        EXPECT_EQ(pictureTurn(c.orientation).swapsSides, c.width == 2) << c.orientation;
    }
}

SDL_Color colourAt(SDL_Surface* surface, int x, int y) {
    SDL_Color colour{};
    EXPECT_TRUE(SDL_ReadSurfacePixel(surface, x, y, &colour.r, &colour.g, &colour.b, &colour.a)) << SDL_GetError();
    return colour;
}
bool reddish(SDL_Color c) { return c.r > 200 && c.b < 60; }
bool bluish(SDL_Color c) { return c.b > 200 && c.r < 60; }

// A 4:3 photo, red left and blue right as coded, tagged "a quarter turn clockwise": decoded for
// the screen it stands 3:4 with red on top, whether prepared ahead or loaded where drawn.
TEST(PictureTurn, APreparedPictureIsUpright) {
    testing::TempDir dir;
    const std::string path =
        testing::writeTestFile(dir / "phone.jpg", testing::jpegWithOrientation(testing::redLeftBlueRight(400, 300), 6))
            .string();
    PreparedImageCache cache;
    cache.prepare(path, 0);
    SurfaceHandle surface(cache.take(path));
    ASSERT_NE(surface, nullptr);
    EXPECT_EQ(surface->w, 300);
    EXPECT_EQ(surface->h, 400);
    EXPECT_TRUE(reddish(colourAt(surface.get(), 150, 20)));
    EXPECT_TRUE(bluish(colourAt(surface.get(), 150, 380)));

    EXPECT_TRUE(imageExceedsSize(path, 299, 1000));
    EXPECT_FALSE(imageExceedsSize(path, 300, 400));
}

}  // namespace
}  // namespace lumetta
