#include <gtest/gtest.h>

#include <limits>
#include <stdexcept>
#include <string>
#include <vector>

#include "objects/image_layout.h"

namespace lumetta {
namespace {

std::vector<int> rect(const SDL_Rect& r) { return {r.x, r.y, r.w, r.h}; }

TEST(ParseImageOpacity, MapsTextToAlpha) {
    const struct {
        const char* text;
        int alpha;
    } cases[] = {
        {"0.5", 128}, {"1", 255},   {"40", 255},      {"-3", 0},     {" 0.25 ", 64},    {"\t0.25\n", 64},
        {"0", 0},     {"1.0", 255}, {"0.002", 1},     {"1.0001", 255}, {"+0.5", 128},   {"5e-1", 128},
    };
    for (const auto& c : cases) EXPECT_EQ(parseImageOpacity(c.text), c.alpha) << '"' << c.text << '"';
}

TEST(ParseImageOpacity, RefusesTextThatIsNotOneFiniteNumber) {
    const struct {
        const char* text;
        const char* message;
        bool outOfRange;
    } cases[] = {
        {"0.5abc", "Invalid image opacity: 0.5abc", false},
        {"0.5 1", "Invalid image opacity: 0.5 1", false},
        {"inf", "Invalid image opacity: inf", false},
        {"-infinity", "Invalid image opacity: -infinity", false},
        {"nan", "Invalid image opacity: nan", false},
        {"", "stof", false},
        {"   ", "stof", false},
        {"half", "stof", false},
        {"1e99", "stof", true},
    };
    for (const auto& c : cases) {
        try {
            parseImageOpacity(c.text);
            ADD_FAILURE() << "accepted \"" << c.text << '"';
        } catch (const std::out_of_range& e) {
            EXPECT_TRUE(c.outOfRange) << c.text;
            EXPECT_STREQ(e.what(), c.message);
        } catch (const std::invalid_argument& e) {
            EXPECT_FALSE(c.outOfRange) << c.text;
            EXPECT_STREQ(e.what(), c.message);
        }
    }
}

// A number gives the alpha its text gave; one that is not finite is refused as its text was.
TEST(ImageOpacityAlpha, ANumberReadsAsItsText) {
    for (const float number : {0.5f, 1.0f, 40.0f, -3.0f, 0.25f, 0.0f, 0.002f, 1.0001f, 0.1f, 3.0e38f}) {
        const std::string text = opacityNumberText(number);
        EXPECT_EQ(imageOpacityAlpha(number), parseImageOpacity(text)) << text;
        EXPECT_EQ(imageOpacityAlpha(text), parseImageOpacity(text)) << text;
    }
    const float inf = std::numeric_limits<float>::infinity();
    for (const float number : {std::numeric_limits<float>::quiet_NaN(), inf, -inf}) {
        try {
            imageOpacityAlpha(number);
            ADD_FAILURE() << number;
        } catch (const std::invalid_argument& error) {
            EXPECT_EQ(error.what(), "Invalid image opacity: " + opacityNumberText(number));
        }
    }
}

ImagePlacementInput square(std::string_view mode, int pictureW = 1000, int pictureH = 500) {
    ImagePlacementInput in;
    in.viewport = {0, 0, 400, 400};
    in.slideWidth = in.slideHeight = 400;
    in.element = {0, 0, 400, 400};
    in.pictureWidth = pictureW;
    in.pictureHeight = pictureH;
    in.fit = imageFitOf(mode);
    return in;
}

TEST(PlaceImage, FitCropAndStretch) {
    const struct {
        ImagePlacementInput input;
        std::vector<int> source, destination, box;
    } cases[] = {
        {square("fit"), {0, 0, 1000, 500}, {0, 100, 400, 200}, {0, 0, 400, 400}},
        {square("crop"), {250, 0, 500, 500}, {0, 0, 400, 400}, {0, 0, 400, 400}},
        {square(""), {0, 0, 1000, 500}, {0, 0, 400, 400}, {0, 0, 400, 400}},
        {square("stretch"), {0, 0, 1000, 500}, {0, 0, 400, 400}, {0, 0, 400, 400}},
        {square("fit", 500, 1000), {0, 0, 500, 1000}, {100, 0, 200, 400}, {0, 0, 400, 400}},
        {square("crop", 500, 1000), {0, 250, 500, 500}, {0, 0, 400, 400}, {0, 0, 400, 400}},
        {square("crop", 300, 300), {0, 0, 300, 300}, {0, 0, 400, 400}, {0, 0, 400, 400}},
        // Odd overhang: the extra column is left on the right.
        {square("crop", 1001, 500), {250, 0, 500, 500}, {0, 0, 400, 400}, {0, 0, 400, 400}},
    };
    for (const auto& c : cases) {
        const auto placed = placeImage(c.input);
        ASSERT_TRUE(placed) << static_cast<int>(c.input.fit);
        EXPECT_EQ(rect(placed->source), c.source) << static_cast<int>(c.input.fit) << " " << c.input.pictureWidth;
        EXPECT_EQ(rect(placed->destination), c.destination) << static_cast<int>(c.input.fit) << " " << c.input.pictureWidth;
        EXPECT_EQ(rect(placed->box), c.box) << static_cast<int>(c.input.fit);
        EXPECT_EQ(placed->angle, 0.0);
    }
}

TEST(PlaceImage, ScalesTheSlideIntoTheViewportAndTurnsWithTheDisplay) {
    // A 1920×1080 slide on a 960×540 viewport placed at (100, 50): half scale, offset.
    ImagePlacementInput in;
    in.viewport = {100, 50, 960, 540};
    in.slideWidth = 1920;
    in.slideHeight = 1080;
    in.element = {960, 0, 960, 540};  // top right quarter
    in.pictureWidth = 960;
    in.pictureHeight = 540;
    in.fit = ImageFit::Fit;
    auto placed = placeImage(in);
    ASSERT_TRUE(placed);
    EXPECT_EQ(rect(placed->destination), (std::vector<int>{580, 50, 480, 270}));

    // At -90 a portrait slide fills a landscape output; its top half lands on the right.
    in.viewport = {0, 0, 800, 400};
    in.rotation = -90;
    in.slideWidth = 400;
    in.slideHeight = 800;
    in.element = {0, 0, 400, 400};
    in.pictureWidth = 1000;
    in.pictureHeight = 500;
    placed = placeImage(in);
    ASSERT_TRUE(placed);
    EXPECT_EQ(rect(placed->box), (std::vector<int>{400, 0, 400, 400}));
    EXPECT_EQ(rect(placed->destination), (std::vector<int>{400, 100, 400, 200}));
    EXPECT_EQ(placed->angle, 90.0);

    // -180: the top half goes to the bottom, upside down.
    in.viewport = {0, 0, 400, 800};
    in.rotation = -180;
    placed = placeImage(in);
    ASSERT_TRUE(placed);
    EXPECT_EQ(rect(placed->box), (std::vector<int>{0, 400, 400, 400}));
    EXPECT_EQ(placed->angle, 180.0);
}

TEST(PlaceImage, NothingToDrawWithoutArea) {
    const auto without = [](auto change) {
        ImagePlacementInput in = square("fit");
        change(in);
        return placeImage(in).has_value();
    };
    EXPECT_FALSE(without([](auto& in) { in.pictureWidth = 0; }));
    EXPECT_FALSE(without([](auto& in) { in.pictureHeight = -1; }));
    EXPECT_FALSE(without([](auto& in) { in.element.w = 0; }));
    EXPECT_FALSE(without([](auto& in) { in.element.h = 0; }));
    EXPECT_FALSE(without([](auto& in) { in.slideWidth = 0; }));
    EXPECT_FALSE(without([](auto& in) { in.slideHeight = 0; }));
    EXPECT_FALSE(without([](auto& in) { in.viewport.w = 0; }));
    // A sliver still gets one pixel.
    ImagePlacementInput thin = square("");
    thin.element = {0, 0, 400, 1};
    thin.viewport = {0, 0, 100, 100};
    const auto placed = placeImage(thin);
    ASSERT_TRUE(placed);
    EXPECT_EQ(placed->destination.h, 1);
}

TEST(NormalizedRotation, BringsAnyAngleIntoOneTurn) {
    const int cases[][2] = {{0, 0}, {-90, 270}, {-180, 180}, {-270, 90}, {450, 90}, {-720, 0}, {359, 359}};
    for (const auto& c : cases) EXPECT_EQ(normalizedRotation(c[0]), c[1]) << c[0];
}

TEST(AdvanceAnimation, FramesFollowTheClockAndCatchUp) {
    const std::vector<std::uint32_t> delays{100, 100, 100};
    std::uint32_t frame = 0;
    std::uint64_t due = 0;
    EXPECT_EQ(advanceAnimation(delays, 3, frame, due, 1000), 0u);  // the clock starts here
    EXPECT_EQ(due, 1100u);
    EXPECT_EQ(advanceAnimation(delays, 3, frame, due, 1099), 0u);
    EXPECT_EQ(advanceAnimation(delays, 3, frame, due, 1100), 1u);
    EXPECT_EQ(advanceAnimation(delays, 3, frame, due, 1250), 2u);  // late draws skip frames
    EXPECT_EQ(advanceAnimation(delays, 3, frame, due, 1300), 0u);  // and wrap round
    EXPECT_EQ(due, 1400u);

    // More than a minute without a draw: restart on the frame that was showing.
    EXPECT_EQ(advanceAnimation(delays, 3, frame, due, 1300 + 70000), 0u);
    EXPECT_EQ(due, 71400u);
    // Exactly a minute late still catches up.
    frame = 0;
    due = 1000;
    EXPECT_EQ(advanceAnimation(delays, 3, frame, due, 61000), (60000 / 100 + 1) % 3);
}

TEST(AdvanceAnimation, ShortDelaysCountAsOneHundredMilliseconds) {
    const struct {
        std::uint32_t delay;
        std::uint64_t shown;
    } cases[] = {{0, 100}, {5, 100}, {9, 100}, {10, 10}, {250, 250}};
    for (const auto& c : cases) {
        const std::vector<std::uint32_t> delays{c.delay, 1000};
        std::uint32_t frame = 0;
        std::uint64_t due = 0;
        advanceAnimation(delays, 2, frame, due, 5000);
        EXPECT_EQ(advanceAnimation(delays, 2, frame, due, 5000 + c.shown - 1), 0u) << c.delay;
        EXPECT_EQ(advanceAnimation(delays, 2, frame, due, 5000 + c.shown), 1u) << c.delay;
    }
}

TEST(AdvanceAnimation, UntimedCases) {
    std::uint32_t frame = 0;
    std::uint64_t due = 0;
    // One frame: no clock at all.
    EXPECT_EQ(advanceAnimation({100}, 1, frame, due, 5000), 0u);
    EXPECT_EQ(due, 0u);
    // Delays that do not match the frames: the current frame stays.
    frame = 1;
    EXPECT_EQ(advanceAnimation({100}, 3, frame, due, 9000), 1u);
    EXPECT_EQ(due, 0u);
    // A frame index past the end starts over.
    frame = 7;
    EXPECT_EQ(advanceAnimation({100, 100}, 2, frame, due, 9000), 0u);
}

}  // namespace
}  // namespace lumetta
