#include <gtest/gtest.h>

#include <optional>
#include <sstream>
#include <string>

#include "content/json_text.h"
#include "content/slide_document.h"

namespace lumetta {
namespace {

using testing::json;

// The name of what a reader gives, as the cases write it.
std::optional<std::string> named(std::optional<Transition> transition) {
    if (!transition) return std::nullopt;
    return std::string(transitionName(*transition));
}
std::optional<std::string> named(std::optional<MotionEffect> effect) {
    if (!effect) return std::nullopt;
    return std::string(motionEffectName(*effect));
}

std::string colorText(SDL_Color c) {
    return std::to_string(c.r) + "," + std::to_string(c.g) + "," + std::to_string(c.b) + "," + std::to_string(c.a);
}

TEST(SafeFileName, RefusesEveryWayOutOfItsDirectory) {
    struct Case {
        std::string name;
        bool safe;
    };
    const Case cases[] = {
        {"clip.mp4", true},
        {"Spring Sale (2).png", true},
        {"..hidden", true},
        {"...", true},
        {"caf\xc3\xa9.jpg", true},  // UTF-8 bytes above 0x7f are ordinary
        {"", false},
        {".", false},
        {"..", false},
        {"../a", false},
        {"a/b", false},
        {"/etc", false},
        {"a\\b", false},
        {std::string("a\0b", 3), false},
        {"a\nb", false},
        {"tab\t", false},
        {"del\x7f", false},
    };
    for (const auto& c : cases) EXPECT_EQ(isSafeFileName(c.name), c.safe) << '"' << c.name << '"';
}

TEST(SafeFileName, ReservedNamesAreSeparateFromTheSafeCheck) {
    // Safe as names, but they would collide with the player's own files.
    for (const char* name : {"playlist.json", "HD", "FHD", "4K", "clip.mp4.part", ".part"}) {
        EXPECT_TRUE(isSafeFileName(name)) << name;
        EXPECT_TRUE(isReservedMediaName(name)) << name;
    }
    for (const char* name : {"hd", "4k", "playlist.json.bak", "part", "clip.partial", "playing.json"}) {
        EXPECT_FALSE(isReservedMediaName(name)) << name;
    }
    for (const char* name :
         {"config.json", "playing.json", "playing.json.new", "orientation", "orientation.png", "screen.json"}) {
        EXPECT_TRUE(isSafeFileName(name)) << name;
        EXPECT_TRUE(isReservedAccountName(name)) << name;
    }
    for (const char* name : {"acme", "Config.json", "playlist.json", "orientation.jpg", "HD"}) {
        EXPECT_FALSE(isReservedAccountName(name)) << name;
    }
}

TEST(ReadSha1, ChoosesTheMemberAndChecksItsForm) {
    const std::string sha1 = "0123456789abcdefABCDEF0123456789abcdef01";
    const std::string sha1Lower = "0123456789abcdefabcdef0123456789abcdef01";
    const std::string sha256 = "A" + std::string(63, 'b');
    struct Case {
        std::string media;
        std::string digest;
    };
    const Case cases[] = {
        {R"({"sha1": ")" + sha1 + R"("})", sha1Lower},
        {R"({"sha256": ")" + sha256 + R"("})", "a" + std::string(63, 'b')},
        {R"({"sha1": ")" + sha256 + R"("})", "a" + std::string(63, 'b')},  // either length under either key
        {R"({"sha256": ")" + sha1 + R"("})", sha1Lower},
        {R"({"sha1": ")" + sha1.substr(1) + R"("})", ""},  // 39 digits
        {R"({"sha1": ")" + sha1 + R"(0"})", ""},           // 41 digits
        {R"({"sha1": ")" + sha1.substr(1) + R"(g"})", ""},  // not hexadecimal
        {R"({"sha1": " )" + sha1.substr(1) + R"("})", ""},
        {R"({"sha1": 1234})", ""},
        // "sha256" wins even when it is unusable.
        {R"({"sha256": 5, "sha1": ")" + sha1 + R"("})", ""},
        {R"({"sha256": null, "sha1": ")" + sha1 + R"("})", ""},
        {R"({"sha256": "", "sha1": ")" + sha1 + R"("})", ""},
        {R"({"file": "a.png"})", ""},
        {R"(["sha1"])", ""},
        {R"("sha1")", ""},
    };
    for (const auto& c : cases) EXPECT_EQ(readSha1(json(c.media)), c.digest) << c.media;
}

TEST(ReadInt, NumbersAndDigitTexts) {
    struct Case {
        const char* value;
        std::optional<std::int32_t> optional;  // readOptionalInt
        std::optional<std::int32_t> positive;  // readPositiveInt
    };
    const std::nullopt_t none = std::nullopt;
    const Case cases[] = {
        {"0", 0, none},
        {"1", 1, 1},
        {"-0", 0, none},
        {"-0.0", 0, none},
        {"10.0", 10, 10},
        {"1.5", none, none},
        {"-1", none, none},
        {"2147483647", 2147483647, 2147483647},
        {"2147483648", none, none},
        {"3e9", none, none},
        {"1e308", none, none},
        {"-1e308", none, none},
        {R"("0")", 0, none},
        {R"("-0")", 0, none},
        {R"("-000")", 0, none},
        {R"("-")", none, none},
        {R"("-1")", none, none},
        {R"("--0")", none, none},
        {R"("+1")", none, none},
        {R"(" 1")", none, none},
        {R"("1 ")", none, none},
        {R"("12a")", none, none},
        {R"("1.0")", none, none},
        {R"("")", none, none},
        {R"("007")", 7, 7},
        {R"("2147483647")", 2147483647, 2147483647},
        {R"("2147483648")", none, none},
        {R"("99999999999999999999999999999999")", none, none},
        {R"("0000000000000000000000000000000042")", 42, 42},
        {"true", none, none},
        {"null", none, none},
        {"[1]", none, none},
        {R"({"a": 1})", none, none},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(readOptionalInt(json(c.value)), c.optional) << c.value;
        EXPECT_EQ(readPositiveInt(json(c.value)), c.positive) << c.value;
    }
}

TEST(HexToColor, FormsAndTheOneErrorLine) {
    struct Case {
        std::string text;
        const char* color;
        bool errorLine;
    };
    const Case cases[] = {
        {"#ff8000", "255,128,0,255", false},
        {"FF800080", "255,128,0,128", false},
        {"#Ab12Cd", "171,18,205,255", false},
        {"#FF800080", "255,128,0,128", false},
        {"", "0,0,0,255", false},
        {"#", "0,0,0,255", false},
        {"ffff", "0,0,0,255", false},
        {"#fffffff", "0,0,0,255", false},
        {"##ff8000", "0,0,0,255", false},  // one "#" only: seven characters remain
        {"ff80zz", "0,0,0,255", true},
        {"#ff800g80", "0,0,0,255", true},
        {"+f8000", "0,0,0,255", true},
        {" ff800", "0,0,0,255", true},
        {std::string("ff\0" "000", 6), "0,0,0,255", true},
    };
    for (const auto& c : cases) {
        std::ostringstream errors;
        EXPECT_EQ(colorText(hexToColor(c.text, errors)), c.color) << c.text;
        EXPECT_EQ(errors.str(), c.errorLine ? "hexToColor() Exception: Invalid hex value\n" : "") << c.text;
    }
}

TEST(HexToColor, StrictReaderRefusesWhatItCannotRead) {
    EXPECT_EQ(colorText(readHexColor("#00ff0080").value()), "0,255,0,128");
    EXPECT_EQ(colorText(readHexColor("00FF00").value()), "0,255,0,255");
    for (const char* text : {"", "#", "0f0", "#00ff0", "00ff00f", "0x00ff", "00ff0g"}) {
        EXPECT_FALSE(readHexColor(text).has_value()) << text;
    }
}

TEST(Transition, ByNameIndexDigitTextAndObject) {
    struct Case {
        const char* value;
        std::optional<std::string> name;
    };
    const std::nullopt_t none = std::nullopt;
    const Case cases[] = {
        {R"("ripple")", "ripple"},
        {R"("Ripple")", none},
        {R"("ripple ")", none},
        {"0", "none"},
        {"1", "random"},
        {"1.0", "random"},
        {"-0.0", "none"},
        {"14", "particle-dissolve"},
        {"36", "cross-fade"},
        {"51", "curtain-close-vertical"},
        {R"("51")", "curtain-close-vertical"},
        {R"("051")", "curtain-close-vertical"},
        {"52", none},
        {R"("52")", none},
        {"1.5", none},
        {"-1", none},
        {"1e300", none},
        {"18446744073709551615", none},
        {R"("+5")", none},
        {R"("-0")", none},
        {R"(" 5")", none},
        {R"("")", none},
        {R"("4294967296")", none},
        {R"("99999999999999999999")", none},
        {"true", none},
        {"null", none},
        {"[33]", none},
        {R"({"slug": "ripple"})", "ripple"},
        {R"({"id": 33})", "ripple"},
        {R"({"id": "33"})", "ripple"},
        {R"({"slug": "ripple", "id": 0})", "ripple"},
        {R"({"slug": "nonsense", "id": 33})", none},  // a slug is taken even when it names nothing
        {R"({"slug": null, "id": 33})", none},
        {R"({"name": "ripple"})", none},
        {R"({})", none},
        {R"({"slug": {"slug": "ripple"}})", none},
    };
    for (const auto& c : cases) EXPECT_EQ(named(parseTransition(json(c.value))), c.name) << c.value;
    ASSERT_EQ(transitionNames().size(), 52u);
    for (std::size_t i = 0; i < transitionNames().size(); ++i) {
        const std::string name(transitionNames()[i]);
        EXPECT_EQ(named(parseTransition(Json::Value(name))), name);
        EXPECT_EQ(named(parseTransition(Json::Value(std::to_string(i)))), name);
    }
}

TEST(MotionEffect, ByNameIndexDigitTextAndObject) {
    struct Case {
        const char* value;
        std::optional<std::string> name;
    };
    const std::nullopt_t none = std::nullopt;
    const Case cases[] = {
        {R"("pan-left")", "pan-left"},
        {R"("Pan-left")", none},
        {"0", "none"},
        {"8", "pan-down-right"},
        {"9", "zoom-in-slow"},
        {R"("14")", "ken-burns-down-right"},
        {"14", "ken-burns-down-right"},
        {"15", none},
        {R"("15")", none},
        {R"("ripple")", none},  // a transition, not a motion effect
        {R"({"slug": "zoom-out-slow"})", "zoom-out-slow"},
        {R"({"id": 11})", "ken-burns-up-left"},
        {R"({"id": -1})", none},
        {"false", none},
    };
    for (const auto& c : cases) EXPECT_EQ(named(parseMotionEffect(json(c.value))), c.name) << c.value;
    EXPECT_EQ(motionEffectNames().size(), 15u);
}

TEST(TextFontFamily, ShippedFamiliesAndTheFallback) {
    const char* families[] = {"Caladea",          "DejaVu Sans", "DejaVu Serif", "Great Vibes", "Imprima",
                              "Lato",             "Lemon",       "Liberation Sans", "Liberation Sans Narrow",
                              "Liberation Serif", "Montserrat",  "Oswald",       "Righteous",   "Sansita"};
    for (const char* family : families) EXPECT_EQ(textFontFamily(Json::Value(family)), family);
    for (const char* value : {R"("lato")", R"("Lato ")", R"("")", R"("Comic Sans")", "5", "null", R"(["Lato"])"}) {
        EXPECT_EQ(textFontFamily(json(value)), "Liberation Sans") << value;
    }
}

TEST(ExitPreset, OnlyTheFourExitPresets) {
    for (const char* preset : {"fade-out", "slide-out", "zoom-out", "fly-out"}) EXPECT_TRUE(isExitPreset(preset));
    for (const char* preset : {"fade-in", "none", "typewriter", "Fade-out", ""}) EXPECT_FALSE(isExitPreset(preset));
}

}  // namespace
}  // namespace lumetta
