#include <SDL3/SDL.h>
#include <SDL3_image/SDL_image.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "objects/prepared_image_cache.h"
#include "support/temp_dir.h"

namespace lumetta {
namespace {

constexpr std::size_t MiB = 1024 * 1024;

// A surface whose height × pitch claims `bytes` without allocating them: the cache only
// counts and frees surfaces, it never reads their pixels.
SDL_Surface* surfaceClaiming(std::size_t bytes) {
    static std::uint32_t pixel = 0;
    const int pitch = 1 << 16;
    const int height = static_cast<int>(bytes / pitch);
    SDL_Surface* surface = SDL_CreateSurfaceFrom(1, height, SDL_PIXELFORMAT_ARGB8888, &pixel, pitch);
    EXPECT_NE(surface, nullptr) << SDL_GetError();
    return surface;
}

// A real PNG file of the given size and colour.
std::string writePng(const testing::TempDir& dir, const std::string& name, int w, int h, SDL_Color color) {
    SDL_Surface* surface = SDL_CreateSurface(w, h, SDL_PIXELFORMAT_ABGR8888);
    EXPECT_NE(surface, nullptr);
    SDL_FillSurfaceRect(surface, nullptr, SDL_MapSurfaceRGBA(surface, color.r, color.g, color.b, color.a));
    const std::string path = (dir / name).string();
    EXPECT_TRUE(IMG_SavePNG(surface, path.c_str())) << SDL_GetError();
    SDL_DestroySurface(surface);
    return path;
}

void destroy(SDL_Surface* surface) { SDL_DestroySurface(surface); }

TEST(PreparedImageCache, ReplacingAPathKeepsOnlyTheNewerSurface) {
    PreparedImageCache cache;
    cache.store("/media/a.png", surfaceClaiming(2 * MiB), 0);
    SDL_Surface* newer = surfaceClaiming(3 * MiB);
    cache.store("/media/a.png", newer, 0);
    EXPECT_EQ(cache.entryCount(), 1u);
    EXPECT_EQ(cache.byteTotal(), 3 * MiB);

    // Filling the cache evicts the newer picture in its own turn, counted once.
    cache.store("/media/b.png", surfaceClaiming(100 * MiB), 0);
    cache.store("/media/c.png", surfaceClaiming(25 * MiB), 0);
    EXPECT_TRUE(cache.contains("/media/a.png"));
    EXPECT_EQ(cache.byteTotal(), PREPARED_IMAGE_LIMIT);
    cache.store("/media/d.png", surfaceClaiming(2 * MiB), 0);
    EXPECT_FALSE(cache.contains("/media/a.png"));
    EXPECT_EQ(cache.byteTotal(), 127 * MiB);

    SDL_Surface* taken = cache.take("/media/a.png");
    EXPECT_EQ(taken, nullptr);
}

TEST(PreparedImageCache, EvictsOldestFirstDownToTheLimit) {
    PreparedImageCache cache;
    for (const char* path : {"/m/1.png", "/m/2.png", "/m/3.png", "/m/4.png"}) cache.store(path, surfaceClaiming(32 * MiB), 0);
    // Exactly at the limit: nothing leaves.
    EXPECT_EQ(cache.byteTotal(), PREPARED_IMAGE_LIMIT);
    EXPECT_EQ(cache.entryCount(), 4u);

    // Taking does not refresh: 1 is still the oldest, and goes first.
    destroy(cache.take("/m/2.png"));
    cache.store("/m/2.png", surfaceClaiming(32 * MiB), 0);  // stored again: now the newest
    cache.store("/m/5.png", surfaceClaiming(40 * MiB), 0);
    EXPECT_FALSE(cache.contains("/m/1.png"));
    EXPECT_FALSE(cache.contains("/m/3.png"));
    EXPECT_TRUE(cache.contains("/m/4.png"));
    EXPECT_TRUE(cache.contains("/m/2.png"));
    EXPECT_TRUE(cache.contains("/m/5.png"));
    EXPECT_EQ(cache.byteTotal(), 104 * MiB);
}

TEST(PreparedImageCache, AnOversizePictureEmptiesTheCacheIncludingItself) {
    PreparedImageCache cache;
    cache.store("/m/small.png", surfaceClaiming(MiB), 0);
    cache.store("/m/huge.png", surfaceClaiming(PREPARED_IMAGE_LIMIT + MiB), 0);
    EXPECT_EQ(cache.entryCount(), 0u);
    EXPECT_EQ(cache.byteTotal(), 0u);
    // The cache still works afterwards.
    cache.store("/m/small.png", surfaceClaiming(MiB), 0);
    EXPECT_EQ(cache.byteTotal(), MiB);
}

TEST(PreparedImageCache, TakeHandsTheSurfaceOverOnce) {
    PreparedImageCache cache;
    SDL_Surface* stored = surfaceClaiming(MiB);
    cache.store("/m/a.png", stored, 0);
    SDL_Surface* first = cache.take("/m/a.png");
    EXPECT_EQ(first, stored);
    EXPECT_EQ(cache.take("/m/a.png"), nullptr);
    EXPECT_EQ(cache.byteTotal(), 0u);
    // Paths are compared byte for byte.
    cache.store("/m/b.png", surfaceClaiming(MiB), 0);
    EXPECT_EQ(cache.take("/m/./b.png"), nullptr);
    EXPECT_EQ(cache.take("/m/B.png"), nullptr);
    destroy(first);
}

TEST(PreparedImageCache, ReleasedIdsAreRefusedUntilTheirWorkIsDone) {
    PreparedImageCache cache;
    cache.store("/p7/a.png", surfaceClaiming(MiB), 7);
    cache.store("/p7/b.png", surfaceClaiming(2 * MiB), 7);
    cache.store("/p8/a.png", surfaceClaiming(4 * MiB), 8);
    cache.store("/shared.png", surfaceClaiming(8 * MiB), 0);

    // Downloads of playlist 7 are still running: its id stays released.
    int asked = 0;
    cache.releasePreparedImageId(7, [&] { ++asked; return true; });
    EXPECT_EQ(asked, 1);
    EXPECT_TRUE(cache.isReleased(7));
    EXPECT_FALSE(cache.contains("/p7/a.png"));
    EXPECT_FALSE(cache.contains("/p7/b.png"));
    EXPECT_EQ(cache.byteTotal(), 12 * MiB);

    cache.store("/p7/late.png", surfaceClaiming(MiB), 7);  // late work for a released playlist
    EXPECT_FALSE(cache.contains("/p7/late.png"));
    cache.store("/p7/late.png", surfaceClaiming(MiB), 0);  // id 0 is never refused
    EXPECT_TRUE(cache.contains("/p7/late.png"));

    cache.forgetReleasedId(7);
    EXPECT_FALSE(cache.isReleased(7));
    cache.store("/p7/again.png", surfaceClaiming(MiB), 7);
    EXPECT_TRUE(cache.contains("/p7/again.png"));

    // Nothing pending: the id is unmarked at once, the entries are gone all the same.
    cache.releasePreparedImageId(8, [] { return false; });
    EXPECT_FALSE(cache.isReleased(8));
    EXPECT_FALSE(cache.contains("/p8/a.png"));
    EXPECT_EQ(cache.byteTotal(), 10 * MiB);

    // Id 0 releases nothing and never asks.
    cache.releasePreparedImageId(0, [&] { ++asked; return true; });
    EXPECT_EQ(asked, 1);
    EXPECT_TRUE(cache.contains("/shared.png"));
    EXPECT_FALSE(cache.isReleased(0));

    // The freed bytes really left the accounting: the queue no longer carries their tickets.
    cache.store("/big.png", surfaceClaiming(118 * MiB), 0);
    EXPECT_EQ(cache.entryCount(), 4u);
    EXPECT_EQ(cache.byteTotal(), PREPARED_IMAGE_LIMIT);
}

TEST(PreparedImageCache, PrepareDecodesFilesAndReportsFailures) {
    testing::TempDir dir;
    const std::string path = writePng(dir, "red.png", 30, 20, {200, 10, 20, 255});
    PreparedImageCache cache;
    cache.prepare(path, 0);
    SDL_Surface* surface = cache.take(path);
    ASSERT_NE(surface, nullptr);
    EXPECT_EQ(surface->w, 30);
    EXPECT_EQ(surface->h, 20);
    SDL_BlendMode mode = SDL_BLENDMODE_NONE;
    EXPECT_TRUE(SDL_GetSurfaceBlendMode(surface, &mode));
    EXPECT_EQ(mode, SDL_BLENDMODE_BLEND);
    Uint8 r = 0, g = 0, b = 0, a = 0;
    EXPECT_TRUE(SDL_ReadSurfacePixel(surface, 15, 10, &r, &g, &b, &a));
    EXPECT_EQ((std::vector<int>{r, g, b, a}), (std::vector<int>{200, 10, 20, 255}));
    SDL_DestroySurface(surface);

    const std::string missing = (dir / "missing.png").string();
    const std::string notAPicture = testing::writeTestFile(dir / "text.png", "plain text, no picture").string();
    const std::string truncated = (dir / "truncated.png").string();
    {
        std::string bytes;
        SDL_IOStream* io = SDL_IOFromFile(path.c_str(), "rb");
        ASSERT_NE(io, nullptr);
        char buffer[64];
        size_t n = SDL_ReadIO(io, buffer, sizeof buffer);
        SDL_CloseIO(io);
        testing::writeTestFile(truncated, std::string(buffer, n));
    }
    for (const std::string& bad : {missing, notAPicture, truncated}) {
        ::testing::internal::CaptureStderr();
        cache.prepare(bad, 3);
        const std::string err = ::testing::internal::GetCapturedStderr();
        // (the PNG decoder may add a line of its own)
        const auto at = err.find("Failed to prepare image: " + bad + ": ");
        ASSERT_NE(at, std::string::npos) << err;
        EXPECT_EQ(err.find("Failed to prepare image: ", at + 1), std::string::npos) << err;
        EXPECT_FALSE(cache.contains(bad));
    }
    EXPECT_EQ(cache.entryCount(), 0u);
    EXPECT_EQ(cache.byteTotal(), 0u);

    // The process-wide calls go to the one cache.
    prepareImage(path);
    EXPECT_TRUE(preparedImageCache().contains(path));
    SDL_Surface* viaFreeCall = takePreparedImage(path);
    ASSERT_NE(viaFreeCall, nullptr);
    SDL_DestroySurface(viaFreeCall);
    EXPECT_EQ(takePreparedImage(path), nullptr);
}

TEST(PreparedImageCache, ConcurrentPrepareAndTakeKeepTheAccounting) {
    PreparedImageCache cache;
    // SDL sets up its table of live objects lazily with its own (uninstrumented) atomics;
    // let that happen before the threads start.
    destroy(surfaceClaiming(MiB));
    std::atomic<bool> stop{false};
    std::vector<std::jthread> producers;
    for (int t = 0; t < 3; ++t) {
        producers.emplace_back([&cache, t] {
            for (int i = 0; i < 300; ++i)
                cache.store("/m/" + std::to_string(i % 20) + ".png", surfaceClaiming(8 * MiB), t == 2 ? 5 : 0);
        });
    }
    std::jthread taker([&] {
        while (!stop) {
            for (int i = 0; i < 20; ++i) destroy(cache.take("/m/" + std::to_string(i) + ".png"));
            cache.releasePreparedImageId(5, [] { return false; });
        }
    });
    producers.clear();
    stop = true;
    taker.join();
    EXPECT_LE(cache.byteTotal(), PREPARED_IMAGE_LIMIT);
    EXPECT_EQ(cache.byteTotal(), cache.entryCount() * 8 * MiB);
}

TEST(IsResizableImage, AcceptsOnlyPngAndJpegEndings) {
    const struct {
        const char* name;
        bool expected;
    } cases[] = {
        {"photo.png", true},       {"photo.jpg", true},        {"photo.jpeg", true},
        {"PHOTO.JPEG", true},      {"Photo.PnG", true},        {".png", true},
        {"/media/p/7/a.jpg", true}, {"anim.gif", false},       {"png", false},
        {"photo.jpe", false},      {"photo.png.part", false},  {"", false},
        {"photo.webp", false},     {"jpeg", false},
    };
    for (const auto& c : cases) EXPECT_EQ(isResizableImage(c.name), c.expected) << c.name;
}

TEST(ImageExceedsSize, ComparesEachSideStrictly) {
    testing::TempDir dir;
    const std::string path = writePng(dir, "p.png", 40, 30, {1, 2, 3, 255});
    const struct {
        int maxWidth, maxHeight;
        bool expected;
    } cases[] = {{40, 30, false}, {41, 31, false}, {39, 30, true}, {40, 29, true}, {0, 0, true}};
    for (const auto& c : cases)
        EXPECT_EQ(imageExceedsSize(path, c.maxWidth, c.maxHeight), c.expected) << c.maxWidth << "x" << c.maxHeight;

    const std::string missing = (dir / "gone.jpg").string();
    ::testing::internal::CaptureStderr();
    EXPECT_FALSE(imageExceedsSize(missing, 1, 1));
    const std::string err = ::testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find("Failed to read image: "), std::string::npos) << err;
    EXPECT_NE(err.find(missing), std::string::npos) << err;
}

}  // namespace
}  // namespace lumetta
