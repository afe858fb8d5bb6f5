#include "player/ticker_band.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "player/player_test_support.h"

namespace lumetta::player {
namespace {

using namespace lumetta::testing;

TEST(TickerBand, TextKeyAndPlace) {
    EXPECT_EQ(tickerText({"one"}), "one");
    EXPECT_EQ(tickerText({"one", "two", ""}), "one \xE2\x80\xA2 two \xE2\x80\xA2 ");
    EXPECT_EQ(tickerText({}), "");
    EXPECT_EQ(tickerBuildKey(1920, 1080, "a \xE2\x80\xA2 b"), "1920x1080|a \xE2\x80\xA2 b");

    const auto same = [](SDL_Rect a, SDL_Rect b) { return a.x == b.x && a.y == b.y && a.w == b.w && a.h == b.h; };
    EXPECT_TRUE(same(tickerBandRect(1920, 1080), {0, 1008, 1920, 72}));
    EXPECT_TRUE(same(tickerBandRect(1280, 720), {0, 672, 1280, 48}));
    EXPECT_TRUE(same(tickerBandRect(320, 180), {0, 164, 320, 16}));  // never below 16
    EXPECT_TRUE(same(tickerBandRect(64, 10), {0, 0, 64, 10}));       // nor above the screen
    EXPECT_TRUE(same(tickerBandRect(0, 180), {0, 0, 0, 0}));
}

class TickerBandDraw : public ::testing::Test {
protected:
    void clearWhite() {
        SDL_SetRenderDrawColor(renderer_, 255, 255, 255, 255);
        SDL_RenderClear(renderer_);
    }
    Colour at(int x, int y) { return pixelAt(renderer_, x, y); }

    std::unique_ptr<Display> display_ = makeDisplay(320, 180);
    SDL_Renderer* renderer_ = display_->renderer();
};

TEST_F(TickerBandDraw, ScrollsAcrossTheBottomAndLoopsAtTheStripPeriod) {
    TickerBand band(display_.get());
    band.update({"Opening hours 9 to 5", "Welcome"});
    ASSERT_TRUE(band.shown());
    EXPECT_GT(band.period(), band.band().h);
    EXPECT_FLOAT_EQ(band.step(), 320.0f / 350.0f);

    clearWhite();
    band.drawFrame();
    EXPECT_EQ(at(160, 100), kWhite);  // above the band: the slide
    int darkened = 0;
    for (int x = 0; x < 320; x += 4) darkened += at(x, 172) != kWhite ? 1 : 0;
    EXPECT_GT(darkened, 40);  // the band's half-transparent background and the text

    // Many frames later the position is still inside one period.
    for (int i = 0; i < 2000; ++i) {
        band.drawFrame();
        ASSERT_GE(band.position(), 0.0f);
        ASSERT_LT(band.position(), static_cast<float>(band.period()));
    }
}

TEST_F(TickerBandDraw, RebuiltOnlyWhenTheMessagesChangeAndDroppedWithoutThem) {
    TickerBand band(display_.get());
    band.update({"a"});
    band.drawFrame();
    band.drawFrame();
    const float moved = band.position();
    EXPECT_GT(moved, 0.0f);
    band.update({"a"});  // same key: kept where it is
    EXPECT_FLOAT_EQ(band.position(), moved);
    band.update({"a", "b"});  // new text: starts from its beginning
    EXPECT_FLOAT_EQ(band.position(), 0.0f);
    EXPECT_TRUE(band.shown());

    band.update({});
    EXPECT_FALSE(band.shown());
    clearWhite();
    band.drawFrame();
    EXPECT_EQ(at(10, 172), kWhite);
}

// A megabyte of text is wider than any strip and is refused with the element's line; ten thousand
// short messages still fit (slowly: the strip is rendered once and then cached).
TEST_F(TickerBandDraw, TextsTooLongForAStripAreRefusedWithALine) {
    TickerBand band(display_.get());
    ::testing::internal::CaptureStderr();
    band.update({std::string(1 << 20, 'x')});
    const std::string errors = ::testing::internal::GetCapturedStderr();
    EXPECT_FALSE(band.shown());
    EXPECT_NE(errors.find("Ticker Exception: "), std::string::npos) << errors;
    clearWhite();
    band.drawFrame();
    EXPECT_EQ(at(10, 172), kWhite);

    std::vector<std::string> many(10000, "news item");
    ::testing::internal::CaptureStderr();
    band.update(many);
    ::testing::internal::GetCapturedStderr();
    EXPECT_TRUE(band.shown()) << "a long strip within the strip limit";
    // A normal ticker afterwards is built again.
    band.update({"back to normal"});
    EXPECT_TRUE(band.shown());
}

}  // namespace
}  // namespace lumetta::player
