#include "player/transitions.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <set>
#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "support/transition_screen.h"

namespace lumetta::player {
namespace {

using testing::blend;
using testing::Frame;
using testing::kBlack;
using testing::kInLeft;
using testing::kInRight;
using testing::kOutLeft;
using testing::kOutRight;
using testing::kWhite;
using testing::RecordingCalls;
using testing::Rgb;
using testing::TransitionScreen;

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

std::string kindName(int kind) {
    return std::to_string(kind) + " " + std::string(transitionKindNames[static_cast<std::size_t>(kind)]);
}

// Both pictures' modulation is back to opaque white and the draw colour is the one set before.
void expectStateRestored(const TransitionScreen& screen, const std::string& what) {
    for (SDL_Texture* texture : {screen.outgoing(), screen.incoming()}) {
        Uint8 alpha = 0, r = 0, g = 0, b = 0;
        SDL_GetTextureAlphaMod(texture, &alpha);
        SDL_GetTextureColorMod(texture, &r, &g, &b);
        EXPECT_EQ(alpha, 255) << what;
        EXPECT_EQ((Rgb{r, g, b}), kWhite) << what;
    }
    Uint8 r = 0, g = 0, b = 0, a = 0;
    SDL_GetRenderDrawColor(screen.renderer(), &r, &g, &b, &a);
    EXPECT_EQ((Rgb{r, g, b}), (Rgb{10, 20, 30})) << what;
    EXPECT_EQ(a, 40) << what;
}

// One transition frame as the player loop draws it: black clear, then the transition.
Frame drawFrame(const TransitionScreen& screen, int kind, double progress, bool withOutgoing = true,
                DrawSubmitter& submitter = sdlDrawSubmitter()) {
    screen.clear();
    SDL_SetRenderDrawColor(screen.renderer(), 10, 20, 30, 40);
    renderTransition(screen.renderer(), withOutgoing ? screen.outgoing() : nullptr, screen.incoming(),
                     screen.width(), screen.height(), kind, progress, submitter);
    expectStateRestored(screen, kindName(kind) + " at " + std::to_string(progress));
    return screen.capture();
}

TEST(TransitionKinds, NamesAreTheFiftyKindsInOrder) {
    std::set<std::string_view> distinct(transitionKindNames.begin(), transitionKindNames.end());
    EXPECT_EQ(distinct.size(), 50u);
    EXPECT_EQ(transitionKindNames[0], "push-left");
    EXPECT_EQ(transitionKindNames[transition::fadeThroughBlack], "fade-through-black");
    EXPECT_EQ(transitionKindNames[transition::shatter], "shatter");
    EXPECT_EQ(transitionKindNames[49], "curtain-close-vertical");
}

bool isGeometryKind(int kind) {
    return kind == transition::cubeHorizontal || kind == transition::cubeVertical ||
           kind == transition::diagonalBlindsForward || kind == transition::diagonalBlindsBackward;
}

// Whether `frame` shows `expected`. The kinds drawn as textured triangles may differ by a texel or
// two where the picture changes colour: SDL's software rasteriser truncates texture coordinates
// to whole texels at every vertex. Such a pixel must still show a colour found within two pixels.
::testing::AssertionResult showsPicture(const Frame& frame, const Frame& expected, bool allowTexelSlip) {
    if (frame.width != expected.width || frame.height != expected.height) {
        return ::testing::AssertionFailure() << "frame size differs";
    }
    if (frame == expected) return ::testing::AssertionSuccess();
    for (int y = 0; y < frame.height; ++y) {
        for (int x = 0; x < frame.width; ++x) {
            const Rgb got = frame.at(x, y);
            if (got == expected.at(x, y)) continue;
            bool slipped = false;
            for (int dy = -2; dy <= 2 && allowTexelSlip && !slipped; ++dy) {
                for (int dx = -2; dx <= 2 && !slipped; ++dx) {
                    const int nx = x + dx, ny = y + dy;
                    slipped = nx >= 0 && ny >= 0 && nx < frame.width && ny < frame.height && expected.at(nx, ny) == got;
                }
            }
            if (!slipped) {
                return ::testing::AssertionFailure()
                       << "at (" << x << ", " << y << "): " << got << " instead of " << expected.at(x, y);
            }
        }
    }
    return ::testing::AssertionSuccess();
}

// At the end every kind shows the incoming picture alone, with or without an outgoing one, on an
// odd-sized target, on a full HD one and on the smallest ones; progress beyond 1 is 1.
TEST(TransitionFrames, EveryKindEndsOnTheIncomingPicture) {
    for (const auto& [w, h] : std::vector<std::pair<int, int>>{{97, 61}, {1920, 1080}, {1, 1}, {2, 2}}) {
        TransitionScreen screen(w, h);
        const Frame incoming = screen.incomingPicture();
        // Progress beyond 1 on the small targets only: the full HD frames are the slow part.
        const std::vector<double> ends = w < 100 ? std::vector<double>{1.0, 7.0, kInf} : std::vector<double>{1.0};
        for (int kind = 0; kind < transitionKindCount; ++kind) {
            const std::string what = kindName(kind) + " on " + std::to_string(w) + "x" + std::to_string(h);
            for (const double progress : ends) {
                EXPECT_TRUE(showsPicture(drawFrame(screen, kind, progress), incoming, isGeometryKind(kind)))
                    << what << " at " << progress;
            }
            EXPECT_TRUE(showsPicture(drawFrame(screen, kind, 1.0, false), incoming, isGeometryKind(kind)))
                << what << " without an outgoing picture";
        }
    }
}

// At the start the revealing kinds (and every other kind whose first frame leaves the outgoing
// picture untouched) show the outgoing picture alone; progress below 0 and NaN count as 0.
TEST(TransitionFrames, RevealingKindsStartOnTheOutgoingPicture) {
    using namespace transition;
    const std::vector<int> kinds = {wipeLeft,  wipeRight, wipeUp, wipeDown, splitOpenHorizontal, splitOpenVertical,
                                    curtainOpenHorizontal, curtainOpenVertical, pushLeft, pushDown, coverUpLeft,
                                    crossFade, fadeThroughBlack, horizontalBlinds, checkerboard, mosaic,
                                    randomVerticalBars, particleDissolve, particleBurstOut, shatter};
    TransitionScreen screen(97, 61);
    const Frame outgoing = screen.outgoingPicture();
    for (const int kind : kinds) {
        for (const double progress : {0.0, -5.0, -kInf, kNaN}) {
            EXPECT_TRUE(showsPicture(drawFrame(screen, kind, progress), outgoing, false))
                << kindName(kind) << " at " << progress;
        }
    }
}

// Out-of-range progress is clamped for every kind (a plain clamp would pass NaN on).
TEST(TransitionFrames, ProgressOutsideTheRangeDrawsLikeItsEnd) {
    TransitionScreen screen(97, 61);
    for (int kind = 0; kind < transitionKindCount; ++kind) {
        const Frame start = drawFrame(screen, kind, 0.0);
        const Frame end = drawFrame(screen, kind, 1.0);
        for (const double below : {kNaN, -5.0, -kInf, -1e-300}) {
            EXPECT_TRUE(drawFrame(screen, kind, below) == start) << kindName(kind) << " at " << below;
        }
        for (const double above : {7.0, kInf, 1.0000001}) {
            EXPECT_TRUE(drawFrame(screen, kind, above) == end) << kindName(kind) << " at " << above;
        }
    }
}

struct Sample {
    int kind;
    double progress;
    int x, y;
    Rgb expected;
    int tolerance = 0;
};

std::ostream& operator<<(std::ostream& out, const Sample& s) {
    return out << kindName(s.kind) << " at " << s.progress << " (" << s.x << ", " << s.y << ")";
}

// Points of one frame per family on the 97 x 61 target, worked out by hand: O is split at column
// 48 into OL | OR, I into IL | IR.
TEST(TransitionFrames, FamiliesHalfwayShowTheExpectedParts) {
    using namespace transition;
    // Halfway: dx = lround(48.5) = 49, dy = lround(30.5) = 31.
    const std::vector<Sample> samples = {
        // Push: O's right part slides over the left edge, I's left part comes in on the right.
        {pushLeft, 0.5, 10, 30, kOutRight}, {pushLeft, 0.5, 47, 30, kOutRight},
        {pushLeft, 0.5, 48, 30, kInLeft}, {pushLeft, 0.5, 95, 30, kInLeft}, {pushLeft, 0.5, 96, 30, kInRight},
        {pushRight, 0.5, 10, 30, kInRight}, {pushRight, 0.5, 60, 30, kOutLeft},
        {pushUp, 0.5, 10, 29, kOutLeft}, {pushUp, 0.5, 10, 30, kInLeft},
        {pushDown, 0.5, 10, 30, kInLeft}, {pushDown, 0.5, 10, 31, kOutLeft},
        // Cover: O stays, I slides over it whole.
        {coverLeft, 0.5, 47, 30, kOutLeft}, {coverLeft, 0.5, 48, 30, kInLeft}, {coverLeft, 0.5, 95, 30, kInLeft},
        {coverDownRight, 0.5, 10, 30, kInRight}, {coverDownRight, 0.5, 10, 31, kOutLeft},
        {coverDownRight, 0.5, 60, 40, kOutRight},
        // Wipes reveal I in place from the named edge.
        {wipeRight, 0.5, 47, 30, kOutLeft}, {wipeRight, 0.5, 48, 30, kInRight},
        {wipeLeft, 0.5, 48, 30, kInRight}, {wipeLeft, 0.5, 49, 30, kOutRight},
        {wipeDown, 0.5, 10, 29, kOutLeft}, {wipeDown, 0.5, 10, 30, kInLeft},
        // Split open: band of 49 from column 24; split close: 25 columns from each side.
        {splitOpenHorizontal, 0.5, 23, 30, kOutLeft}, {splitOpenHorizontal, 0.5, 24, 30, kInLeft},
        {splitOpenHorizontal, 0.5, 72, 30, kInRight}, {splitOpenHorizontal, 0.5, 73, 30, kOutRight},
        {splitCloseHorizontal, 0.5, 24, 30, kInLeft}, {splitCloseHorizontal, 0.5, 25, 30, kOutLeft},
        {splitCloseHorizontal, 0.5, 71, 30, kOutRight}, {splitCloseHorizontal, 0.5, 72, 30, kInRight},
        // Blinds: slats of 6 rows open 3 (horizontal); of 9 columns open 5 (vertical).
        {horizontalBlinds, 0.5, 10, 2, kInLeft}, {horizontalBlinds, 0.5, 10, 3, kOutLeft},
        {horizontalBlinds, 0.5, 10, 6, kInLeft}, {horizontalBlinds, 0.5, 10, 60, kInLeft},
        {verticalBlinds, 0.5, 4, 30, kInLeft}, {verticalBlinds, 0.5, 5, 30, kOutLeft},
        {verticalBlinds, 0.5, 94, 30, kInRight}, {verticalBlinds, 0.5, 95, 30, kOutRight},
        // Tile grid: checkerboard row 0 is in, the odd cell (11, 0) of the last row not yet; clock wipe has
        // passed 12 to 5 o'clock but not the top left.
        {checkerboard, 0.5, 1, 2, kInLeft}, {checkerboard, 0.5, 1, 58, kOutLeft}, {checkerboard, 0.5, 5, 58, kInLeft},
        {clockWipe, 0.5, 95, 2, kInRight}, {clockWipe, 0.5, 95, 59, kInRight}, {clockWipe, 0.5, 1, 2, kOutLeft},
        // Random bars: bar 0 (rows 0-1) waits, bar 1 (rows 2-4) has grown 84 columns.
        {randomHorizontalBars, 0.5, 5, 0, kOutLeft}, {randomHorizontalBars, 0.5, 83, 3, kInRight},
        {randomHorizontalBars, 0.5, 84, 3, kOutRight},
        // Particles: cell 1 is fully in, cell 2 not yet, cell 0 a faint 2 x 2 square at (2, 2).
        {particleDissolve, 0.5, 9, 3, kInLeft}, {particleDissolve, 0.5, 15, 3, kOutLeft},
        {particleDissolve, 0.5, 0, 0, kOutLeft}, {particleDissolve, 0.5, 2, 2, blend(kOutLeft, kInLeft, 85), 2},
        // Flip: a quarter in, O's face squeezed to 49 columns over the faint I; three quarters
        // in, I's face.
        {flipHorizontal, 0.25, 30, 30, kOutLeft}, {flipHorizontal, 0.25, 70, 30, kOutRight},
        {flipHorizontal, 0.25, 5, 30, blend(kOutLeft, kInLeft, 64), 2},
        {flipHorizontal, 0.75, 30, 30, kInLeft}, {flipHorizontal, 0.75, 70, 30, kInRight},
        // Cube: both faces shaded to 220; the top corner above O's slanted edge keeps plain O.
        {cubeHorizontal, 0.5, 10, 30, testing::shaded(kOutLeft, 220), 3},
        {cubeHorizontal, 0.5, 90, 30, testing::shaded(kInRight, 220), 3}, {cubeHorizontal, 0.5, 1, 1, kOutLeft},
        // Page turn: 49 columns of O left, then its last 97/14 = 6 columns (43-48) mirrored and
        // shaded beyond them.
        {pageTurnHorizontal, 0.5, 47, 30, kOutLeft}, {pageTurnHorizontal, 0.5, 48, 30, kOutRight},
        {pageTurnHorizontal, 0.5, 49, 30, testing::shaded(kOutRight, 170), 1},
        {pageTurnHorizontal, 0.5, 50, 30, testing::shaded(kOutLeft, 170), 1},
        {pageTurnHorizontal, 0.5, 54, 30, testing::shaded(kOutLeft, 170), 1},
        {pageTurnHorizontal, 0.5, 55, 30, kInRight},
        // Ripple: strip 2 (columns 4-6) is one row low, so its top row keeps O.
        {ripple, 0.5, 5, 0, kOutLeft}, {ripple, 0.5, 1, 0, blend(kOutLeft, kInLeft, 128), 2},
        // Fades: halfway through black or white nothing of either picture is left.
        {fadeThroughBlack, 0.5, 10, 30, kBlack}, {fadeThroughBlack, 0.5, 90, 30, kBlack},
        {fadeThroughWhite, 0.5, 10, 30, kWhite}, {fadeThroughWhite, 0.25, 10, 30, blend(kWhite, kOutLeft, 128), 2},
        {crossFade, 0.5, 10, 30, blend(kOutLeft, kInLeft, 128), 2},
        // Zoom in: I faded in over {8, 5, 80, 50}; zoom out: O fading over I in the same box.
        {zoomIn, 0.5, 2, 2, kOutLeft}, {zoomIn, 0.5, 20, 30, blend(kOutLeft, kInLeft, 128), 2},
        {zoomOut, 0.5, 2, 2, kInLeft}, {zoomOut, 0.5, 20, 30, blend(kInLeft, kOutLeft, 128), 2},
        // Diagonal blinds: bands of 13.2 open 6.6 along x + y (forward) or x - y + 61 (backward).
        {diagonalBlindsForward, 0.5, 1, 1, kInLeft}, {diagonalBlindsForward, 0.5, 5, 4, kOutLeft},
        {diagonalBlindsForward, 0.5, 8, 7, kInLeft},
        {diagonalBlindsBackward, 0.5, 2, 58, kInLeft}, {diagonalBlindsBackward, 0.5, 8, 58, kOutLeft},
    };
    TransitionScreen screen(97, 61);
    for (const Sample& s : samples) {
        const Rgb got = drawFrame(screen, s.kind, s.progress).at(s.x, s.y);
        EXPECT_TRUE(testing::near(got, s.expected, s.tolerance)) << s << ": " << got << " instead of " << s.expected;
    }
}

// The split and curtain names are two spellings of the same four effects.
TEST(TransitionFrames, SplitAndCurtainSpellingsDrawTheSamePictures) {
    using namespace transition;
    const std::vector<std::pair<int, int>> pairs = {{splitOpenHorizontal, curtainOpenHorizontal},
                                                    {splitOpenVertical, curtainOpenVertical},
                                                    {splitCloseHorizontal, curtainCloseHorizontal},
                                                    {splitCloseVertical, curtainCloseVertical}};
    TransitionScreen screen(97, 61);
    for (const auto& [split, curtain] : pairs) {
        for (const double progress : {0.1, 0.37, 0.5, 0.83}) {
            const Frame a = drawFrame(screen, split, progress);
            EXPECT_TRUE(a == drawFrame(screen, curtain, progress)) << kindName(split) << " at " << progress;
            EXPECT_FALSE(a == screen.outgoingPicture()) << kindName(split) << " at " << progress;
        }
    }
}

// How many times each pixel of the target is covered by the given rectangles.
std::vector<int> coverage(int width, int height, const std::vector<SDL_FRect>& rects) {
    std::vector<int> count(static_cast<std::size_t>(width) * height, 0);
    for (const SDL_FRect& r : rects) {
        for (int y = std::max(0, static_cast<int>(r.y)); y < std::min(height, static_cast<int>(r.y + r.h)); ++y) {
            for (int x = std::max(0, static_cast<int>(r.x)); x < std::min(width, static_cast<int>(r.x + r.w)); ++x) {
                ++count[static_cast<std::size_t>(y) * width + x];
            }
        }
    }
    return count;
}

// Destinations of the draws of one texture (whole-target draws left out: the background).
std::vector<SDL_FRect> partsOf(const RecordingCalls& recorded, SDL_Texture* texture, int width, int height) {
    std::vector<SDL_FRect> rects;
    for (const auto& call : recorded.calls) {
        if (call.tex != texture) continue;
        if (call.kind == RecordingCalls::Call::geometry) {
            for (std::size_t i = 0; i + 3 < call.vertices.size(); i += 4) {
                const SDL_FPoint a = call.vertices[i].position, c = call.vertices[i + 2].position;
                rects.push_back({a.x, a.y, c.x - a.x, c.y - a.y});
            }
            continue;
        }
        const SDL_FRect d = call.destination.value_or(SDL_FRect{0, 0, 0, 0});
        if (d.x == 0 && d.y == 0 && d.w == static_cast<float>(width) && d.h == static_cast<float>(height)) continue;
        rects.push_back(d);
    }
    return rects;
}

// With a size that the grids do not divide, the cells, bars, strips, slats and particles still
// cover the target exactly once, and neighbouring parts differ by at most one pixel.
TEST(TransitionFrames, GridsTileAnOddSizedTargetExactly) {
    using namespace transition;
    struct Case {
        int kind;
        double progress;
        int parts;
        bool rowsOnly;     // bars that cover whole rows
        bool columnsOnly;  // strips that cover whole columns (their height moves)
    };
    const std::vector<Case> cases = {
        {mosaic, 0.5, 240, false, false},         {checkerboard, 0.9, 240, false, false},
        {clockWipe, 0.999, 240, false, false},    {spiralWipe, 0.999, 240, false, false},
        {randomHorizontalBars, 0.9999, 24, true, false}, {randomVerticalBars, 0.9999, 24, false, true},
        {ripple, 0.3, 40, false, true},           {horizontalBlinds, 1.0, 11, true, false},
        {verticalBlinds, 1.0, 11, false, true},   {particleBurstOut, 0.0, 160, false, false},
    };
    for (const auto& [w, h] : std::vector<std::pair<int, int>>{{97, 61}, {131, 23}}) {
        TransitionScreen screen(w, h);
        for (const Case& c : cases) {
            RecordingCalls recorded;
            drawFrame(screen, c.kind, c.progress, true, recorded);
            SDL_Texture* drawn = c.kind == particleBurstOut ? screen.outgoing() : screen.incoming();
            std::vector<SDL_FRect> rects = partsOf(recorded, drawn, w, h);
            const std::string what = kindName(c.kind) + " on " + std::to_string(w) + "x" + std::to_string(h);
            if (c.kind == horizontalBlinds || c.kind == verticalBlinds) {
                // 12 slats of ceil(L / 12); the ones starting beyond the edge are left out.
                EXPECT_LE(rects.size(), 12u) << what;
            } else {
                EXPECT_EQ(rects.size(), static_cast<std::size_t>(c.parts)) << what;
            }
            if (c.columnsOnly || c.rowsOnly) {
                for (SDL_FRect& r : rects) {
                    if (c.columnsOnly) {
                        r.y = 0, r.h = static_cast<float>(h);
                    } else {
                        r.x = 0, r.w = static_cast<float>(w);
                    }
                }
            }
            const std::vector<int> count = coverage(w, h, rects);
            EXPECT_EQ(std::count(count.begin(), count.end(), 1), static_cast<long>(count.size())) << what;
            float smallest = 1e9f, largest = 0;
            for (const SDL_FRect& r : rects) {
                const float size = c.rowsOnly ? r.h : r.w;
                smallest = std::min(smallest, size), largest = std::max(largest, size);
            }
            if (c.kind != horizontalBlinds && c.kind != verticalBlinds) {
                EXPECT_LE(largest - smallest, 1.0f) << what;
            }
        }
    }
}

// A frame of a kind drawn with geometry at mid-progress leaves nothing behind: the next frame and
// the next plain draw of either picture show it unfaded and unshaded.
TEST(TransitionFrames, GeometryFramesLeaveThePicturesAsTheyWere) {
    using namespace transition;
    TransitionScreen screen(97, 61);
    for (const int kind : {particleDissolve, particleBurstIn, particleBurstOut, shatter, cubeHorizontal, cubeVertical,
                           diagonalBlindsForward, diagonalBlindsBackward}) {
        for (const double progress : {0.05, 0.3, 0.6}) {
            drawFrame(screen, kind, progress);
            EXPECT_TRUE(showsPicture(drawFrame(screen, kind, 1.0), screen.incomingPicture(), isGeometryKind(kind)))
                << kindName(kind) << " after " << progress;
            drawFrame(screen, kind, progress);
            screen.clear();
            drawOutgoingFrame(screen.renderer(), screen.outgoing(), screen.width(), screen.height());
            EXPECT_TRUE(screen.capture() == screen.outgoingPicture()) << kindName(kind) << " after " << progress;
        }
    }
}

// The page-turn fold is 1/14 of the turning side, or 2 pixels on a side shorter than 42.
TEST(TransitionFrames, PageTurnFoldWidth) {
    using namespace transition;
    struct Case {
        int width, height, kind, fold;
    };
    for (const Case& c : std::vector<Case>{{40, 30, pageTurnHorizontal, 2},
                                           {41, 30, pageTurnHorizontal, 2},
                                           {42, 30, pageTurnHorizontal, 3},
                                           {97, 61, pageTurnHorizontal, 6},
                                           {30, 41, pageTurnVertical, 2},
                                           {61, 97, pageTurnVertical, 6}}) {
        TransitionScreen screen(c.width, c.height);
        const Frame frame = drawFrame(screen, c.kind, 0.25);
        const bool across = c.kind == pageTurnHorizontal;
        const int side = across ? c.width : c.height;
        const int rest = static_cast<int>(std::lround(0.75 * side));
        int shadedCount = 0;
        for (int i = 0; i < side; ++i) {
            const Rgb pixel = across ? frame.at(i, c.height / 2) : frame.at(2, i);
            if (testing::near(pixel, testing::shaded(kOutLeft, 170), 1) ||
                testing::near(pixel, testing::shaded(kOutRight, 170), 1)) {
                ++shadedCount;
                EXPECT_GE(i, rest) << c.width << "x" << c.height;
            }
        }
        EXPECT_EQ(shadedCount, c.fold) << c.width << "x" << c.height;
    }
}

// Without an outgoing picture every step that would draw it is left out.
TEST(TransitionFrames, WithoutAnOutgoingPictureOnlyTheIncomingIsDrawn) {
    using namespace transition;
    TransitionScreen screen(97, 61);
    const std::vector<Sample> samples = {
        // Push: only the moving I, black where O would be.
        {pushLeft, 0.5, 10, 30, kBlack}, {pushLeft, 0.5, 60, 30, kInLeft},
        {pushDown, 0.5, 10, 40, kBlack}, {pushDown, 0.5, 10, 20, kInLeft},
        // Zoom out and the page turns: I whole.
        {zoomOut, 0.5, 20, 30, kInLeft}, {pageTurnHorizontal, 0.5, 20, 30, kInLeft},
        {pageTurnVertical, 0.5, 90, 10, kInRight},
        // Flips: only the fading-in I until halfway, then I's face.
        {flipHorizontal, 0.25, 30, 30, blend(kBlack, kInLeft, 64), 2},
        {flipVertical, 0.25, 10, 30, blend(kBlack, kInLeft, 64), 2}, {flipHorizontal, 0.75, 30, 30, kInLeft},
        // Burst out and shatter: I whole, no particles.
        {particleBurstOut, 0.3, 10, 10, kInLeft}, {shatter, 0.3, 90, 50, kInRight},
        // Cube: I's face only; fade through black: black until halfway.
        {cubeHorizontal, 0.5, 10, 30, kBlack}, {fadeThroughBlack, 0.25, 10, 30, kBlack},
        {fadeThroughWhite, 0.25, 10, 30, kWhite}, {crossFade, 0.5, 10, 30, blend(kBlack, kInLeft, 128), 2},
    };
    for (const Sample& s : samples) {
        const Rgb got = drawFrame(screen, s.kind, s.progress, false).at(s.x, s.y);
        EXPECT_TRUE(testing::near(got, s.expected, s.tolerance)) << s << ": " << got << " instead of " << s.expected;
    }
}

// Nothing to draw with, nowhere to draw or no such kind: the target keeps what it had and no
// draw is issued.
TEST(TransitionFrames, BadInputDrawsNothing) {
    TransitionScreen screen(97, 61);
    struct Case {
        const char* what;
        bool renderer, incoming;
        int width, height, kind;
    };
    const std::vector<Case> cases = {
        {"no renderer", false, true, 97, 61, 0},   {"no incoming picture", true, false, 97, 61, 0},
        {"zero width", true, true, 0, 61, 34},     {"zero height", true, true, 97, 0, 34},
        {"negative size", true, true, -97, -61, 34}, {"kind -1", true, true, 97, 61, -1},
        {"kind 50", true, true, 97, 61, 50},       {"kind INT_MIN", true, true, 97, 61, INT_MIN},
        {"kind INT_MAX", true, true, 97, 61, INT_MAX},
    };
    const Rgb marker{7, 99, 7};
    for (const Case& c : cases) {
        for (const double progress : {0.5, kNaN}) {
            screen.clear(marker);
            RecordingCalls recorded;
            renderTransition(c.renderer ? screen.renderer() : nullptr, screen.outgoing(),
                             c.incoming ? screen.incoming() : nullptr, c.width, c.height, c.kind, progress, recorded);
            EXPECT_TRUE(recorded.calls.empty()) << c.what;
            EXPECT_TRUE(screen.capture() == testing::splitFrame(97, 61, marker, marker)) << c.what;
        }
    }
    // The helpers refuse the same input.
    RecordingCalls recorded;
    buildTransitionGeometry(nullptr, screen.outgoing(), screen.incoming(), 97, 61, 12, 0.5, recorded);
    buildTransitionGeometry(screen.renderer(), screen.outgoing(), screen.incoming(), 97, 61, 11, 0.5, recorded);
    buildTransitionGeometry(screen.renderer(), screen.outgoing(), nullptr, 97, 61, 12, 0.5, recorded);
    buildTransitionGeometry(screen.renderer(), screen.outgoing(), screen.incoming(), 0, 61, 12, 0.5, recorded);
    renderTransitionMesh(screen.renderer(), nullptr, 97, 61, false, 0.5, recorded);
    renderTransitionMesh(screen.renderer(), screen.incoming(), 97, -1, false, 0.5, recorded);
    EXPECT_TRUE(recorded.calls.empty());
}

// The particle kinds go to the renderer in one geometry call of at most 160 quads; a few
// particles worked out by hand on the 97 x 61 target at progress 0.5 (x, y, width, height, alpha).
TEST(TransitionGeometry, ParticlesAreOneCallOfQuads) {
    using namespace transition;
    struct Particle {
        int mode, number;
        float x, y, w, h;
        int alpha;
    };
    const std::vector<Particle> particles = {
        {particleDissolve, 0, 2, 2, 2, 2, 85},        {particleDissolve, 1, 6, 0, 6, 6, 255},
        {particleBurstIn, 0, -5, -3, 5, 5, 124},      {particleBurstIn, 77, 86, 25, 5, 5, 124},
        {particleBurstIn, 159, 94, 56, 6, 6, 131},    {particleBurstOut, 0, -33, -22, 3, 3, 35},
        {particleBurstOut, 77, 125, 28, 3, 3, 35},    {particleBurstOut, 159, 119, 65, 3, 3, 30},
    };
    TransitionScreen screen(97, 61);
    for (const int mode : {particleDissolve, particleBurstIn, particleBurstOut}) {
        RecordingCalls recorded;
        drawFrame(screen, mode, 0.5, true, recorded);
        std::vector<const RecordingCalls::Call*> geometry;
        for (const auto& call : recorded.calls) {
            if (call.kind == RecordingCalls::Call::geometry) geometry.push_back(&call);
        }
        ASSERT_EQ(geometry.size(), 1u) << kindName(mode);
        const auto& call = *geometry[0];
        EXPECT_EQ(call.tex, mode == particleBurstOut ? screen.outgoing() : screen.incoming());
        ASSERT_EQ(call.vertices.size() % 4, 0u);
        ASSERT_EQ(call.indices.size(), call.vertices.size() / 4 * 6);
        EXPECT_LE(call.vertices.size(), static_cast<std::size_t>(particleVertexCapacity));
        if (mode != particleDissolve) {
            EXPECT_EQ(call.vertices.size(), 640u);
        }
        for (std::size_t q = 0; q < call.vertices.size() / 4; ++q) {
            const int first = static_cast<int>(4 * q);
            const std::vector<int> quad(call.indices.begin() + static_cast<long>(6 * q),
                                        call.indices.begin() + static_cast<long>(6 * q + 6));
            EXPECT_EQ(quad, (std::vector<int>{first, first + 1, first + 2, first, first + 2, first + 3}));
        }
        for (const Particle& p : particles) {
            if (p.mode != mode) continue;
            // Dissolve leaves out particles that have not started; number 0 and 1 both have.
            const std::size_t q = static_cast<std::size_t>(p.number);
            const SDL_Vertex& topLeft = call.vertices[4 * q];
            const SDL_Vertex& bottomRight = call.vertices[4 * q + 2];
            EXPECT_EQ(topLeft.position.x, p.x) << kindName(mode) << " particle " << p.number;
            EXPECT_EQ(topLeft.position.y, p.y) << kindName(mode) << " particle " << p.number;
            EXPECT_EQ(bottomRight.position.x - topLeft.position.x, p.w) << kindName(mode) << " " << p.number;
            EXPECT_EQ(bottomRight.position.y - topLeft.position.y, p.h) << kindName(mode) << " " << p.number;
            EXPECT_NEAR(topLeft.color.a * 255.0f, static_cast<float>(p.alpha), 0.01f) << kindName(mode);
        }
    }
    // Dissolve at the start: no particle has begun, nothing is submitted.
    RecordingCalls recorded;
    drawFrame(screen, particleDissolve, 0.0, true, recorded);
    for (const auto& call : recorded.calls) EXPECT_NE(call.kind, RecordingCalls::Call::geometry);
}

// The cube faces are single quads with their shade; the diagonal blinds one call per band that
// has an area, never more than 12.
TEST(TransitionGeometry, CubeFacesAndDiagonalBands) {
    using namespace transition;
    TransitionScreen screen(97, 61);
    {
        RecordingCalls recorded;
        drawFrame(screen, cubeHorizontal, 0.5, true, recorded);
        ASSERT_EQ(recorded.calls.size(), 3u);  // O whole, O's face, I's face
        const auto& outFace = recorded.calls[1];
        const auto& inFace = recorded.calls[2];
        EXPECT_EQ(outFace.tex, screen.outgoing());
        EXPECT_EQ(inFace.tex, screen.incoming());
        ASSERT_EQ(inFace.vertices.size(), 4u);
        EXPECT_EQ(inFace.indices, (std::vector<int>{0, 1, 2, 0, 2, 3}));
        const float inset = 61 * 0.08f;
        const std::vector<std::pair<float, float>> corners = {{48.5f, 0}, {97, inset}, {97, 61 - inset}, {48.5f, 61}};
        const std::vector<std::pair<float, float>> uv = {{0, 0}, {1, 0}, {1, 1}, {0, 1}};
        for (std::size_t i = 0; i < 4; ++i) {
            EXPECT_NEAR(inFace.vertices[i].position.x, corners[i].first, 1e-4f) << i;
            EXPECT_NEAR(inFace.vertices[i].position.y, corners[i].second, 1e-4f) << i;
            EXPECT_EQ(inFace.vertices[i].tex_coord.x, uv[i].first) << i;
            EXPECT_EQ(inFace.vertices[i].tex_coord.y, uv[i].second) << i;
            EXPECT_NEAR(inFace.vertices[i].color.r, 220.0f / 255.0f, 1e-6f);
            EXPECT_EQ(inFace.vertices[i].color.a, 1.0f);
            EXPECT_NEAR(outFace.vertices[i].color.g, 220.0f / 255.0f, 1e-6f);
        }
    }
    for (const int kind : {diagonalBlindsForward, diagonalBlindsBackward}) {
        for (const double progress : {0.0, 0.2, 0.5, 1.0}) {
            RecordingCalls recorded;
            drawFrame(screen, kind, progress, true, recorded);
            int bands = 0;
            for (const auto& call : recorded.calls) {
                if (call.kind != RecordingCalls::Call::geometry) continue;
                ++bands;
                EXPECT_EQ(call.tex, screen.incoming());
                EXPECT_GE(call.vertices.size(), 3u);
                EXPECT_EQ(call.indices.size(), (call.vertices.size() - 2) * 3);
                for (const SDL_Vertex& v : call.vertices) {
                    EXPECT_NEAR(v.tex_coord.x, v.position.x / 97.0f, 1e-6f);
                    EXPECT_NEAR(v.tex_coord.y, v.position.y / 61.0f, 1e-6f);
                }
            }
            EXPECT_LE(bands, 12) << kindName(kind) << " at " << progress;
            if (progress > 0) {
                EXPECT_EQ(bands, 12) << kindName(kind) << " at " << progress;
            }
        }
    }
}

// The geometry helpers leave a texture's modulation as they found it, whatever the renderer does
// with the vertex colours.
TEST(TransitionGeometry, HelpersKeepTheTexturesModulation) {
    TransitionScreen screen(97, 61);
    SDL_Texture* texture = screen.incoming();
    const auto check = [&](const char* what) {
        Uint8 r = 0, g = 0, b = 0, a = 0;
        SDL_GetTextureColorMod(texture, &r, &g, &b);
        SDL_GetTextureAlphaMod(texture, &a);
        EXPECT_EQ((Rgb{r, g, b}), (Rgb{10, 20, 30})) << what;
        EXPECT_EQ(a, 77) << what;
    };
    SDL_SetTextureColorMod(texture, 10, 20, 30);
    SDL_SetTextureAlphaMod(texture, 77);
    // An axis-aligned quad: SDL's software renderer draws it as a plain copy.
    drawGeometryTransition(screen.renderer(), texture, {{{0, 0}, {40, 0}, {40, 30}, {0, 30}}}, 128);
    check("rectangle");
    drawGeometryTransition(screen.renderer(), texture, {{{0, 5}, {40, 0}, {40, 30}, {0, 25}}}, 200);
    check("trapezoid");
    buildTransitionGeometry(screen.renderer(), screen.outgoing(), texture, 97, 61, transition::particleBurstIn, 0.4);
    check("particles");
    renderTransitionMesh(screen.renderer(), texture, 97, 61, true, 0.6);
    check("diagonal bands");
    SDL_SetTextureColorMod(texture, 255, 255, 255);
    SDL_SetTextureAlphaMod(texture, 255);
}

// A whole-screen cube face on a full HD software target still appears: its triangles are cut
// small enough for SDL's software rasteriser and go to the renderer in one call.
TEST(TransitionGeometry, LargeFacesAreDrawnOnTheSoftwareRenderer) {
    TransitionScreen screen(1920, 1080);
    for (const int kind : {transition::cubeHorizontal, transition::cubeVertical}) {
        RecordingCalls recorded;
        const Frame frame = drawFrame(screen, kind, 0.5, true, recorded);
        ASSERT_EQ(recorded.calls.size(), 3u);
        EXPECT_GT(recorded.calls[2].vertices.size(), 4u);
        // Both faces, shaded, well inside them.
        const bool across = kind == transition::cubeHorizontal;
        EXPECT_TRUE(testing::near(frame.at(400, across ? 540 : 300), testing::shaded(kOutLeft, 220), 3))
            << kindName(kind);
        EXPECT_TRUE(testing::near(frame.at(1500, across ? 540 : 800), testing::shaded(kInRight, 220), 3))
            << kindName(kind);
    }
}

}  // namespace
}  // namespace lumetta::player
