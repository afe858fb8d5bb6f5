#include "display/draw.h"

#include <SDL3/SDL.h>
#include <gtest/gtest.h>

#include <utility>
#include <vector>

#include "support/transition_screen.h"

namespace lumetta {
namespace {

using testing::Frame;
using testing::kBlack;
using testing::RecordingCalls;
using testing::Rgb;
using testing::TransitionScreen;

// The texture is placed by its unrotated layout rectangle on a turned screen.
TEST(RotatedTexture, AtTheFourTurns) {
    // A 60 x 40 screen; an 8 x 4 picture (left half red, right half blue) at layout {10, 5, 8, 4}.
    TransitionScreen screen(60, 40);
    SDL_Texture* texture =
        SDL_CreateTexture(screen.renderer(), SDL_PIXELFORMAT_ARGB8888, SDL_TEXTUREACCESS_TARGET, 8, 4);
    ASSERT_NE(texture, nullptr);
    SDL_SetTextureScaleMode(texture, SDL_SCALEMODE_NEAREST);
    SDL_SetRenderTarget(screen.renderer(), texture);
    SDL_SetRenderDrawColor(screen.renderer(), 255, 0, 0, 255);
    const SDL_FRect left{0, 0, 4, 4}, right{4, 0, 4, 4};
    SDL_RenderFillRect(screen.renderer(), &left);
    SDL_SetRenderDrawColor(screen.renderer(), 0, 0, 255, 255);
    SDL_RenderFillRect(screen.renderer(), &right);
    SDL_SetRenderTarget(screen.renderer(), nullptr);

    const Rgb red{255, 0, 0}, blue{0, 0, 255};
    struct Case {
        int rotation;
        std::vector<std::pair<std::pair<int, int>, Rgb>> points;
    };
    // Centre (14, 7). 0: as laid out. 90: centre at (7, 26), turned a quarter anticlockwise,
    // red (layout left) at the bottom. 180: centre (46, 33), red on the right. 270: centre
    // (53, 14), red at the top.
    const std::vector<Case> cases = {
        {0, {{{11, 6}, red}, {{16, 6}, blue}, {{14, 2}, kBlack}}},
        {90, {{{7, 28}, red}, {{7, 24}, blue}, {{11, 26}, kBlack}}},
        {180, {{{48, 33}, red}, {{44, 33}, blue}, {{46, 36}, kBlack}}},
        {270, {{{53, 12}, red}, {{53, 16}, blue}, {{49, 14}, kBlack}}},
        {450, {{{7, 28}, red}, {{7, 24}, blue}}},
        {-90, {{{53, 12}, red}, {{53, 16}, blue}}},
    };
    for (const Case& c : cases) {
        screen.clear();
        RecordingCalls recorded;
        drawRotatedTexture(c.rotation, 40, 60, screen.renderer(), texture, 10, 5, 8, 4, recorded);
        const Frame frame = screen.capture();
        for (const auto& [point, colour] : c.points) {
            EXPECT_EQ(frame.at(point.first, point.second), colour)
                << "rotation " << c.rotation << " at (" << point.first << ", " << point.second << ")";
        }
        ASSERT_EQ(recorded.calls.size(), 1u);
        EXPECT_FALSE(recorded.calls[0].source.has_value());
    }
    SDL_DestroyTexture(texture);
}

// Without a renderer or a texture nothing is drawn.
TEST(RotatedTexture, NothingWithoutRendererOrTexture) {
    TransitionScreen screen(97, 61);
    RecordingCalls recorded;
    drawRotatedTexture(90, 61, 97, screen.renderer(), nullptr, 0, 0, 10, 10, recorded);
    drawRotatedTexture(90, 61, 97, nullptr, screen.incoming(), 0, 0, 10, 10, recorded);
    EXPECT_TRUE(recorded.calls.empty());
}

}  // namespace
}  // namespace lumetta
