#include "player/transition_choice.h"

#include "content/slide_document.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <string_view>
#include <vector>

namespace lumetta::player {
namespace {

TEST(TransitionChoice, NamesLookUpExactly) {
    for (int kind = 0; kind < transitionKindCount; ++kind) {
        EXPECT_EQ(transitionKindByName(transitionKindNames[static_cast<std::size_t>(kind)]), kind);
    }
    for (const char* name : {"", "none", "random", "Push-Left", "push-left ", "push", "fade-through-black\n"}) {
        EXPECT_EQ(transitionKindByName(name), std::nullopt) << name;
    }
}

// The playlist reader accepts "none", "random" and exactly these kinds, in the same order.
TEST(TransitionChoice, PlaylistNamesAreNoneRandomAndTheKinds) {
    const auto accepted = transitionNames();
    ASSERT_EQ(accepted.size(), 2u + transitionKindCount);
    EXPECT_EQ(accepted[0], "none");
    EXPECT_EQ(accepted[1], "random");
    for (int kind = 0; kind < transitionKindCount; ++kind) {
        EXPECT_EQ(accepted[static_cast<std::size_t>(kind) + 2], transitionKindNames[static_cast<std::size_t>(kind)]);
    }
}

TEST(TransitionChoice, NamedUnknownAndNoAnimation) {
    TransitionPicker picker;
    EXPECT_EQ(picker.choose("cube-vertical", true), 27);
    EXPECT_EQ(picker.choose("curtain-close-vertical", true), 49);
    // Unknown names animate as "fade-through-black".
    EXPECT_EQ(picker.choose("sparkle", true), 35);
    EXPECT_EQ(picker.choose("", true), 35);
    EXPECT_EQ(picker.choose("CROSS-FADE", true), 35);
    // A plain cut: "none", or nothing to animate from (random draws nothing then).
    EXPECT_EQ(picker.choose("none", true), std::nullopt);
    EXPECT_EQ(picker.choose("none", false), std::nullopt);
    EXPECT_EQ(picker.choose("push-left", false), std::nullopt);
    EXPECT_EQ(picker.choose("random", false), std::nullopt);
    EXPECT_EQ(picker.choose("random", true), 25);  // still the first pick of the sequence
}

// The slide model holds transitions as enumerators of the one name table; each one chooses as
// its name does, and the animated ones are the kinds in table order.
TEST(TransitionChoice, EveryTransitionChoosesAsItsName) {
    for (std::size_t index = 0; index < transitionNames().size(); ++index) {
        const auto transition = static_cast<Transition>(index);
        const std::string_view name = transitionNames()[index];
        EXPECT_EQ(transitionName(transition), name);
        EXPECT_EQ(transitionByName(name), transition) << name;
        for (const bool outgoing : {true, false}) {
            TransitionPicker byEnumerator, byName;
            EXPECT_EQ(byEnumerator.choose(transition, outgoing), byName.choose(name, outgoing)) << name;
        }
        TransitionPicker picker;
        const std::optional<int> kind = picker.choose(transition, true);
        if (transition == Transition::None) {
            EXPECT_EQ(kind, std::nullopt);
        } else if (transition != Transition::Random) {
            ASSERT_TRUE(kind.has_value()) << name;
            EXPECT_EQ(transitionKindNames[static_cast<std::size_t>(*kind)], name);
            EXPECT_EQ(transitionKind(transition), kind);
        }
    }
}

// The random sequence after the fixed seed: the same on every start of the player, never the
// same kind twice in a row. Around pick 114 the engine draws 42 twice; the repeat is drawn again.
TEST(TransitionChoice, RandomSequenceIsFixedAndNeverRepeats) {
    const std::vector<int> first = {25, 42, 41, 31, 18, 4, 16, 20, 26, 22, 9, 3, 16, 9, 14, 38, 39, 40, 23, 35};
    const std::vector<int> around114 = {43, 7, 18, 2, 42, 45, 20, 10, 18, 24};  // picks 110..119

    TransitionPicker picker, again;
    std::vector<int> picks;
    for (int i = 0; i < 400; ++i) {
        // Named transitions in between neither draw nor change the previous pick.
        if (i % 7 == 3) {
            EXPECT_EQ(picker.choose("wipe-up", true), 40);
        }
        picks.push_back(*picker.choose("random", true));
        EXPECT_EQ(again.nextRandomKind(), picks.back()) << i;
    }
    EXPECT_EQ(std::vector<int>(picks.begin(), picks.begin() + 20), first);
    EXPECT_EQ(std::vector<int>(picks.begin() + 110, picks.begin() + 120), around114);
    std::vector<int> seen(transitionKindCount, 0);
    for (std::size_t i = 0; i < picks.size(); ++i) {
        ASSERT_GE(picks[i], 0);
        ASSERT_LT(picks[i], transitionKindCount);
        ++seen[static_cast<std::size_t>(picks[i])];
        if (i > 0) {
            EXPECT_NE(picks[i], picks[i - 1]) << i;
        }
    }
    for (int kind = 0; kind < transitionKindCount; ++kind) EXPECT_GT(seen[static_cast<std::size_t>(kind)], 0) << kind;
}

TEST(TransitionChoice, ProgressIsSmoothstepOver650Milliseconds) {
    struct Case {
        std::uint64_t start, now;
        double progress;
        bool last;
    };
    const std::uint64_t big = std::numeric_limits<std::uint64_t>::max();
    for (const Case& c : std::vector<Case>{{1000, 1000, 0.0, false},
                                           {1000, 1325, 0.5, false},
                                           {1000, 1162, 0.155386, false},  // t = 0.24923
                                           {1000, 1649, 0.99999, false},
                                           {1000, 1650, 1.0, true},
                                           {1000, 90000, 1.0, true},
                                           {1000, 999, 0.0, false},  // ticks before the start
                                           {0, big, 1.0, true},
                                           {big, 0, 0.0, false}}) {
        const TransitionFrame frame = transitionFrameAt(c.start, c.now);
        EXPECT_NEAR(frame.progress, c.progress, 1e-5) << c.start << " -> " << c.now;
        EXPECT_EQ(frame.last, c.last) << c.start << " -> " << c.now;
    }
}

}  // namespace
}  // namespace lumetta::player
