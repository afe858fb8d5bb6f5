#include "player/slide_sequence.h"

#include <gtest/gtest.h>

#include <array>
#include <limits>
#include <string>
#include <vector>

#include "content/slide_model.h"
#include "player/player_test_support.h"
#include "support/manual_clock.h"

namespace lumetta::player {
namespace {

using namespace lumetta::testing;

TEST(SlideDuration, LongDurationsAreTakenForSlipsAndPlayFiveSeconds) {
    const std::vector<std::pair<int, int>> cases{{0, 0}, {-3, 0}, {1, 1}, {10, 10}, {600, 600}, {601, 5}, {86400, 5}};
    for (const auto& [given, played] : cases) EXPECT_EQ(effectiveSlideDuration(given), played) << given;
}

// Slides of ten seconds on a loop that draws 16 ms frames and sometimes takes longer: every change
// happens on the first frame at or after a multiple of ten seconds from the first start, however
// late that frame was drawn.
TEST(SlideTimes, TenSecondSlidesChangeEveryTenSecondsWithoutDrift) {
    ManualClock clock;
    const std::int64_t first = clock.systemMs();
    SlideTimes times = slideTimes(std::nullopt, clock.systemMs(), 10);
    EXPECT_EQ(times.startMs, first);
    std::vector<std::int64_t> starts;
    int frame = 0;
    while (starts.size() < 30) {
        clock.advance(frame % 7 == 0 ? 45 : 16);  // a slow frame now and then
        ++frame;
        const SlideEndCheck check{false, 10, false, false, 5, clock.systemMs(), times.endMs};
        if (!slideHasEnded(check)) continue;
        ASSERT_LT(clock.systemMs() - times.endMs, 45);  // ended on the frame that reached the end
        times = slideTimes(times.endMs, clock.systemMs(), 10);
        starts.push_back(times.startMs);
    }
    for (std::size_t i = 0; i < starts.size(); ++i) {
        EXPECT_EQ(starts[i], first + 10000 * static_cast<std::int64_t>(i + 1)) << i;
    }
}

TEST(SlideTimes, AStallOverASecondStartsTheNextSlideFromNow) {
    ManualClock clock;
    const SlideTimes times = slideTimes(std::nullopt, clock.systemMs(), 10);

    clock.advance(10000 + 1000);  // exactly one second late: still carried
    EXPECT_EQ(slideTimes(times.endMs, clock.systemMs(), 10).startMs, times.endMs);
    clock.advance(1);
    const SlideTimes late = slideTimes(times.endMs, clock.systemMs(), 10);
    EXPECT_EQ(late.startMs, clock.systemMs());
    EXPECT_EQ(late.endMs, clock.systemMs() + 10000);
    // A start the group's leader fixed is kept, however old.
    EXPECT_EQ(slideTimes(times.startMs, clock.systemMs(), 10, true).startMs, times.startMs);
}

// After a step of the wall clock: a 10 s slide that started at 1,000,000 (end 1,010,000).
TEST(SlideTimes, AClockSetBackCountsTheTimeAlreadyShown) {
    const SlideTimes times{1'000'000, 1'010'000};
    struct Case {
        const char* name;
        std::int64_t now;
        std::int64_t shown;
        std::optional<SlideTimes> expected;
    };
    const Case cases[] = {
        {"clock as it ran", 1'003'000, 3'000, std::nullopt},
        {"set back an hour three seconds in", 1'003'000 - 3'600'000, 3'000,
         SlideTimes{1'000'000 - 3'600'000, 1'010'000 - 3'600'000}},
        {"a start 750 ms ahead, as a group's first slide", 999'250, 0, std::nullopt},
        {"a start 751 ms ahead", 999'249, 0, SlideTimes{999'249, 1'009'249}},
        {"set back before anything was shown", 1'000'000 - 60'000, 0, SlideTimes{940'000, 950'000}},
    };
    for (const Case& c : cases) {
        const std::optional<SlideTimes> moved = slideTimesAfterClockStep(times, 10'000, c.now, c.shown, 750);
        ASSERT_EQ(moved.has_value(), c.expected.has_value()) << c.name;
        if (moved) {
            EXPECT_EQ(moved->startMs, c.expected->startMs) << c.name;
            EXPECT_EQ(moved->endMs, c.expected->endMs) << c.name;
        }
    }
    // An end moved later (a pause) moves with the start; times at the end of the range do not
    // overflow.
    const std::optional<SlideTimes> paused = slideTimesAfterClockStep({1'000'000, 1'070'000}, 10'000, 0, 3'000, 750);
    ASSERT_TRUE(paused);
    EXPECT_EQ(paused->startMs, -3'000);
    EXPECT_EQ(paused->endMs, 67'000);
    const std::int64_t last = std::numeric_limits<std::int64_t>::max();
    const std::optional<SlideTimes> far = slideTimesAfterClockStep({last, last}, 10'000, 5'000, 1'000, 750);
    ASSERT_TRUE(far);
    EXPECT_EQ(far->startMs, 4'000);
    EXPECT_EQ(far->endMs, 4'000);
}

TEST(SlideEnd, ByDurationOrVideosAndNeverForASlideWithNeither) {
    struct Case {
        const char* what;
        SlideEndCheck check;
        bool ended;
    };
    const std::int64_t end = 50'000;
    const std::vector<Case> cases{
        {"before its end", {false, 10, false, false, 3, end - 1, end}, false},
        {"at its end", {false, 10, false, false, 3, end, end}, true},
        {"paused at its end", {false, 10, true, false, 3, end + 5000, end}, false},
        {"no duration, long after", {false, 0, false, false, 3, end + 999'999, end}, false},
        {"video playing, duration over", {true, 5, false, false, 3, end + 999'999, end}, false},
        {"videos finished", {true, 0, false, true, 3, 0, end}, true},
        {"videos finished while paused", {true, 0, true, true, 3, 0, end}, false},
        {"one-slide playlist, videos finished while paused", {true, 0, true, true, 1, 0, end}, true},
    };
    for (const Case& c : cases) EXPECT_EQ(slideHasEnded(c.check), c.ended) << c.what;

    EXPECT_TRUE(slideEndsByItself(false, 10));
    EXPECT_TRUE(slideEndsByItself(true, 0));
    EXPECT_FALSE(slideEndsByItself(false, 0));
}

TEST(SlideReportRule, ForcedForVideoSlidesThatRepeatTheirId) {
    EXPECT_FALSE(slideReportForced(0, 5));
    EXPECT_FALSE(slideReportForced(1, 1));  // one video looping alone
    EXPECT_TRUE(slideReportForced(2, 1));
    EXPECT_TRUE(slideReportForced(1, 2));

    const Slide slide = slideOf({videoLayer(0, 0, 5, 5, "a.mp4"), rectangleLayer(0, 0, 5, 5, kRed),
                                 videoLayer(0, 0, 5, 5, "b.mp4")});
    EXPECT_EQ(videoLayerCount(slide), 2u);
    EXPECT_EQ(videoLayerCount(slideOf({})), 0u);
}

int kind(const char* name) { return transitionKindByName(name).value(); }

// What each directional kind becomes on a screen turned by a quarter, a half and three quarters.
TEST(TransitionRotation, DirectionalKindsMoveTheSameWayOnATurnedScreen) {
    struct Row {
        const char* kind;
        std::array<const char*, 3> turned;  // 90..179, 180..269, 270..359
    };
    const std::vector<Row> table{
        {"push-left", {"push-down", "push-right", "push-up"}},
        {"push-right", {"push-up", "push-left", "push-down"}},
        {"push-up", {"push-left", "push-down", "push-right"}},
        {"push-down", {"push-right", "push-up", "push-left"}},
        {"cover-left", {"cover-down", "cover-right", "cover-up"}},
        {"cover-right", {"cover-up", "cover-left", "cover-down"}},
        {"cover-up", {"cover-left", "cover-down", "cover-right"}},
        {"cover-down", {"cover-right", "cover-up", "cover-left"}},
        {"cover-up-left", {"cover-down-left", "cover-down-right", "cover-up-right"}},
        {"cover-up-right", {"cover-up-left", "cover-down-left", "cover-down-right"}},
        {"cover-down-left", {"cover-down-right", "cover-up-right", "cover-up-left"}},
        {"cover-down-right", {"cover-up-right", "cover-up-left", "cover-down-left"}},
        {"wipe-left", {"wipe-down", "wipe-right", "wipe-up"}},
        {"wipe-right", {"wipe-up", "wipe-left", "wipe-down"}},
        {"wipe-up", {"wipe-left", "wipe-down", "wipe-right"}},
        {"wipe-down", {"wipe-right", "wipe-up", "wipe-left"}},
        {"split-open-horizontal", {"split-open-vertical", "split-open-horizontal", "split-open-vertical"}},
        {"split-open-vertical", {"split-open-horizontal", "split-open-vertical", "split-open-horizontal"}},
        {"split-close-horizontal", {"split-close-vertical", "split-close-horizontal", "split-close-vertical"}},
        {"split-close-vertical", {"split-close-horizontal", "split-close-vertical", "split-close-horizontal"}},
        {"random-horizontal-bars", {"random-vertical-bars", "random-horizontal-bars", "random-vertical-bars"}},
        {"random-vertical-bars", {"random-horizontal-bars", "random-vertical-bars", "random-horizontal-bars"}},
        {"flip-horizontal", {"flip-vertical", "flip-horizontal", "flip-vertical"}},
        {"flip-vertical", {"flip-horizontal", "flip-vertical", "flip-horizontal"}},
        {"cube-horizontal", {"cube-vertical", "cube-horizontal", "cube-vertical"}},
        {"cube-vertical", {"cube-horizontal", "cube-vertical", "cube-horizontal"}},
        {"page-turn-horizontal", {"page-turn-vertical", "page-turn-horizontal", "page-turn-vertical"}},
        {"page-turn-vertical", {"page-turn-horizontal", "page-turn-vertical", "page-turn-horizontal"}},
        {"horizontal-blinds", {"vertical-blinds", "horizontal-blinds", "vertical-blinds"}},
        {"vertical-blinds", {"horizontal-blinds", "vertical-blinds", "horizontal-blinds"}},
        {"diagonal-blinds-forward", {"diagonal-blinds-backward", "diagonal-blinds-forward", "diagonal-blinds-backward"}},
        {"diagonal-blinds-backward", {"diagonal-blinds-forward", "diagonal-blinds-backward", "diagonal-blinds-forward"}},
        {"curtain-open-horizontal", {"curtain-open-vertical", "curtain-open-horizontal", "curtain-open-vertical"}},
        {"curtain-open-vertical", {"curtain-open-horizontal", "curtain-open-vertical", "curtain-open-horizontal"}},
        {"curtain-close-horizontal", {"curtain-close-vertical", "curtain-close-horizontal", "curtain-close-vertical"}},
        {"curtain-close-vertical", {"curtain-close-horizontal", "curtain-close-vertical", "curtain-close-horizontal"}},
    };
    std::vector<bool> directional(transitionKindCount, false);
    for (const Row& row : table) {
        const int k = kind(row.kind);
        directional[static_cast<std::size_t>(k)] = true;
        for (int r : {0, 45, 89, 360, -360}) EXPECT_EQ(rotatedTransitionKind(k, r), k) << row.kind << " at " << r;
        for (std::size_t q = 0; q < 3; ++q) {
            const int want = kind(row.turned[q]);
            const int low = 90 + 90 * static_cast<int>(q);
            for (int r : {low, low + 45, low + 89, low + 360, low - 360}) {
                EXPECT_EQ(rotatedTransitionKind(k, r), want) << row.kind << " at " << r;
            }
        }
    }
    // Every other kind looks the same whichever way the screen is turned.
    for (int k = 0; k < transitionKindCount; ++k) {
        if (directional[static_cast<std::size_t>(k)]) continue;
        for (int r : {90, 180, 270}) EXPECT_EQ(rotatedTransitionKind(k, r), k) << transitionKindNames[k];
    }
}

TEST(SlideTransitionChoice, CutsForOneSlideNoneOrNoPictureAndFadesThroughBlackForUnknownNames) {
    TransitionPicker picker;
    const SlideTransition cut{};
    const auto same = [](SlideTransition a, SlideTransition b) { return a.kind == b.kind && a.active == b.active; };

    EXPECT_TRUE(same(chooseSlideTransition(picker, "cross-fade", 1, true, 0), cut));
    EXPECT_TRUE(same(chooseSlideTransition(picker, "random", 1, true, 0), cut));
    EXPECT_TRUE(same(chooseSlideTransition(picker, "none", 4, true, 0), cut));
    EXPECT_TRUE(same(chooseSlideTransition(picker, "cross-fade", 4, false, 0), cut));
    EXPECT_EQ(cut.kind, kind("fade-through-black"));
    EXPECT_FALSE(cut.active);

    for (const char* unknown : {"", "RANDOM", "None", "sparkle"}) {
        EXPECT_TRUE(same(chooseSlideTransition(picker, unknown, 4, true, 0), {kind("fade-through-black"), true}))
            << unknown;
    }
    EXPECT_TRUE(same(chooseSlideTransition(picker, "push-left", 4, true, 90), {kind("push-down"), true}));
    EXPECT_TRUE(same(chooseSlideTransition(picker, "push-left", 4, true, 180), {kind("push-right"), true}));
    EXPECT_TRUE(same(chooseSlideTransition(picker, "push-left", 4, true, 270), {kind("push-up"), true}));

    // The cuts above used no random draw: a fresh picker gives the same first kind.
    TransitionPicker fresh;
    EXPECT_EQ(chooseSlideTransition(picker, "random", 4, true, 0).kind, fresh.nextRandomKind());
}

TEST(SlideTransitionChoice, RandomKindsNeverRepeatAndFollowTheSameSequenceOnEveryRun) {
    std::vector<int> first, second;
    for (auto* run : {&first, &second}) {
        TransitionPicker picker;
        for (int i = 0; i < 500; ++i) {
            const SlideTransition t = chooseSlideTransition(picker, "random", 3, true, 0);
            ASSERT_TRUE(t.active);
            run->push_back(t.kind);
        }
    }
    EXPECT_EQ(first, second);
    std::vector<bool> seen(transitionKindCount, false);
    for (std::size_t i = 0; i < first.size(); ++i) {
        seen[static_cast<std::size_t>(first[i])] = true;
        if (i > 0) {
            EXPECT_NE(first[i], first[i - 1]) << i;
        }
    }
    EXPECT_EQ(std::count(seen.begin(), seen.end(), true), transitionKindCount);
}

TEST(PositionBar, SizeAndFade) {
    // 320 wide: 1.6 px clamps to 4; 1920: 9.6; 3840: 19.2 clamps to 12.
    for (const auto& [width, barWidth] : std::vector<std::pair<int, float>>{{320, 4.0f}, {1920, 9.6f}, {3840, 12.0f}}) {
        const auto bar = positionBarAt(width, 180, 2, 4, 0);
        ASSERT_TRUE(bar);
        EXPECT_FLOAT_EQ(bar->rect.w, barWidth);
        EXPECT_FLOAT_EQ(bar->rect.x, static_cast<float>(width) - barWidth);
        EXPECT_FLOAT_EQ(bar->rect.y, 90.0f);
        EXPECT_FLOAT_EQ(bar->rect.h, 45.0f);
        EXPECT_EQ(bar->alpha, 255);
    }
    EXPECT_EQ(positionBarAt(320, 180, 0, 3, 2500)->alpha, 127);
    EXPECT_EQ(positionBarAt(320, 180, 0, 3, 4999)->alpha, 0);
    EXPECT_FALSE(positionBarAt(320, 180, 0, 3, 5000));
    EXPECT_FALSE(positionBarAt(320, 180, 3, 3, 0));
    EXPECT_FALSE(positionBarAt(320, 180, 0, 0, 0));
}

TEST(PositionBar, DrawsOrangeAtTheRightEdgeAndPutsTheRendererBack) {
    auto display = makeDisplay();
    SDL_Renderer* renderer = display->renderer();
    SDL_SetRenderDrawColor(renderer, 0, 0, 0, 255);
    SDL_RenderClear(renderer);
    SDL_SetRenderDrawColor(renderer, 1, 2, 3, 4);
    ASSERT_TRUE(drawPositionBar(renderer, *positionBarAt(320, 180, 1, 2, 0)));
    EXPECT_EQ(pixelAt(renderer, 318, 100), (Colour{255, 128, 0}));
    EXPECT_EQ(pixelAt(renderer, 318, 80), kBlack);   // another slide's place
    EXPECT_EQ(pixelAt(renderer, 314, 100), kBlack);  // left of the bar
    Uint8 r, g, b, a;
    SDL_GetRenderDrawColor(renderer, &r, &g, &b, &a);
    EXPECT_EQ((std::array<int, 4>{r, g, b, a}), (std::array<int, 4>{1, 2, 3, 4}));

    // Half way through the fade, blended over white.
    SDL_SetRenderDrawColor(renderer, 255, 255, 255, 255);
    SDL_RenderClear(renderer);
    drawPositionBar(renderer, *positionBarAt(320, 180, 0, 1, 2500));
    EXPECT_TRUE(near(pixelAt(renderer, 318, 90), Colour{255, 191, 128}, 3)) << pixelAt(renderer, 318, 90);
}

}  // namespace
}  // namespace lumetta::player
