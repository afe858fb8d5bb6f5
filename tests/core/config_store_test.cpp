#include "core/config_store.h"

#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <limits>
#include <map>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "core/file_utils.h"
#include "support/temp_dir.h"

namespace lumetta {
namespace {

namespace fs = std::filesystem;

// A temporary base directory with the data directory "lumetta" already in it.
struct ConfigFixture {
    testing::TempDir dir;
    ConfigFixture() { fs::create_directories(dir / "lumetta"); }
    std::string base() const { return dir.str(); }
    fs::path data() const { return dir / "lumetta"; }
    fs::path file() const { return configPath(base()); }
    void writeConfig(const std::string& text) const { testing::writeTestFile(file(), text); }
    std::string configText() const { return readFile(file().string()); }
    Json::Value document() const {
        Json::Value value;
        EXPECT_TRUE(Json::Reader().parse(configText(), value)) << configText();
        return value;
    }
};

DisplayMode mode(int width, int height, float rate) {
    DisplayMode m;
    m.width = width;
    m.height = height;
    m.refreshRate = rate;
    return m;
}

TEST(DisplayModeText, FormatsWholeRatesWithoutDecimalsAndOthersWithTwo) {
    const struct {
        DisplayMode mode;
        const char* text;
    } cases[] = {
        {mode(1920, 1080, 60.0f), "1920x1080@60"},
        {mode(1920, 1080, 59.94f), "1920x1080@59.94"},
        {mode(1920, 1080, 59.996f), "1920x1080@60"},
        {mode(1920, 1080, 59.99f), "1920x1080@60"},  // 0.0099983 from 60 as a float
        {mode(1920, 1080, 59.98f), "1920x1080@59.98"},
        {mode(720, 576, 50.5f), "720x576@50.50"},
        {mode(3840, 2160, 29.97f), "3840x2160@29.97"},
        {mode(1920, 1080, 23.976f), "1920x1080@23.98"},
        {mode(640, 480, 0.004f), "640x480@0"},
    };
    for (const auto& c : cases) EXPECT_EQ(formatDisplayMode(c.mode), c.text) << c.mode.refreshRate;
}

TEST(DisplayModeText, ParsesAcceptedTexts) {
    const struct {
        const char* text;
        int width, height;
        float rate;
    } cases[] = {
        {"1920x1080@60", 1920, 1080, 60.0f},
        {"3840x2160@29.97", 3840, 2160, 29.97f},
        {"1920 x 1080 @ 60", 1920, 1080, 60.0f},
        {" \t1920x 1080@ 60 \n", 1920, 1080, 60.0f},
        {"+1920x+1080@+60", 1920, 1080, 60.0f},
        {"1920x1080@6e1", 1920, 1080, 60.0f},
        {"1x1@0.5", 1, 1, 0.5f},
    };
    for (const auto& c : cases) {
        const std::optional<DisplayMode> parsed = parseDisplayMode(c.text);
        ASSERT_TRUE(parsed.has_value()) << c.text;
        EXPECT_EQ(parsed->width, c.width) << c.text;
        EXPECT_EQ(parsed->height, c.height) << c.text;
        EXPECT_FLOAT_EQ(parsed->refreshRate, c.rate) << c.text;
    }
}

TEST(DisplayModeText, RejectsMalformedAndOutOfRangeTexts) {
    for (const char* text : {"", "1920X1080@60", "1920x1080", "1920x1080@", "1920x1080@60Hz", "1920.5x1080@60",
                             "0x1080@60", "1920x0@60", "-1920x1080@60", "1920x1080@-60", "1920x1080@0",
                             "1920x1080@nan", "1920x1080@inf", "1920x1080@1e60", "99999999999x1080@60",
                             "1920x99999999999@60", "1920x1080@60 x", "1920x1080#60", "1920@1080x60"}) {
        EXPECT_FALSE(parseDisplayMode(text).has_value()) << text;
    }
}

TEST(DisplayModeText, FormattedModesParseBack) {
    for (const DisplayMode& m : {mode(1920, 1080, 60.0f), mode(1280, 720, 59.94f), mode(720, 576, 50.5f)}) {
        const std::optional<DisplayMode> parsed = parseDisplayMode(formatDisplayMode(m));
        ASSERT_TRUE(parsed.has_value());
        EXPECT_TRUE(sameMode(*parsed, m)) << formatDisplayMode(m);
    }
}

TEST(ConfigStore, MissingFileGivesDefaultsAndFirstSetterCreatesIndentedFile) {
    ConfigFixture config;
    EXPECT_EQ(configPath(config.base()), config.dir / "lumetta" / "config.json");
    EXPECT_EQ(configString(config.base(), "name"), "");
    EXPECT_EQ(configInt(config.base(), "orientation", 0), 0);
    EXPECT_EQ(configInt(config.base(), "orientation", -270), -270);
    EXPECT_FALSE(configDisplayMode(config.base()).has_value());
    EXPECT_FALSE(fs::exists(config.file()));

    ASSERT_TRUE(setConfigString(config.base(), "name", "Hall 2"));
    EXPECT_EQ(config.configText(), "{\n  \"name\" : \"Hall 2\"\n}\n");
    EXPECT_EQ(configString(config.base(), "name"), "Hall 2");
}

TEST(ConfigStore, SettersKeepUnknownMembersAndReadsSeeHandEdits) {
    ConfigFixture config;
    config.writeConfig(R"({"custom": {"nested": [1, 2]}, "name": "old", "viewportX": 12})");
    ASSERT_TRUE(setConfigInt(config.base(), "orientation", -90));
    ASSERT_TRUE(setConfigAccountBranch(config.base(), "acme", "north"));
    ASSERT_TRUE(setConfigString(config.base(), "name", "new"));

    Json::Value expected;
    ASSERT_TRUE(Json::Reader().parse(
        R"({"custom": {"nested": [1, 2]}, "name": "new", "viewportX": 12, "orientation": -90,
            "account": "acme", "branch": "north"})",
        expected));
    EXPECT_EQ(config.document(), expected);

    // No cache: a change made by hand shows on the next read.
    config.writeConfig(R"({"name": "edited", /* comments are allowed */ "orientation": -180})");
    EXPECT_EQ(configString(config.base(), "name"), "edited");
    EXPECT_EQ(configInt(config.base(), "orientation", 0), -180);
}

TEST(ConfigStore, GettersReadOnlyTheirOwnJsonTypes) {
    ConfigFixture config;
    config.writeConfig(R"({"a": 90.0, "b": "90", "c": 90.5, "d": 3000000000, "e": true, "f": -2147483648,
                           "name": 7, "displayMode": 1920})");
    const struct {
        const char* key;
        int expected;
    } ints[] = {{"a", 90}, {"b", 5}, {"c", 5}, {"d", 5}, {"e", 5}, {"f", std::numeric_limits<int>::min()},
                {"absent", 5}};
    for (const auto& c : ints) EXPECT_EQ(configInt(config.base(), c.key, 5), c.expected) << c.key;
    EXPECT_EQ(configString(config.base(), "name"), "");
    EXPECT_EQ(configString(config.base(), "b"), "90");
    EXPECT_FALSE(configDisplayMode(config.base()).has_value());

    config.writeConfig(R"({"displayMode": "1280x720@50"})");
    const std::optional<DisplayMode> stored = configDisplayMode(config.base());
    ASSERT_TRUE(stored.has_value());
    EXPECT_TRUE(sameMode(*stored, mode(1280, 720, 50.0f)));
    config.writeConfig(R"({"displayMode": "1280x720"})");
    EXPECT_FALSE(configDisplayMode(config.base()).has_value());
}

TEST(ConfigStore, DamagedFileIsNeverOverwritten) {
    for (const char* damaged : {"", "not json", "[1, 2]", "42", "\"text\"", "{\"name\": "}) {
        SCOPED_TRACE(damaged);
        ConfigFixture config;
        config.writeConfig(damaged);
        testing::writeTestFile(config.data() / "name", "Legacy\n");

        EXPECT_EQ(configString(config.base(), "name"), "");
        EXPECT_EQ(configInt(config.base(), "orientation", 7), 7);
        EXPECT_FALSE(configDisplayMode(config.base()).has_value());

        EXPECT_FALSE(setConfigString(config.base(), "name", "x"));
        EXPECT_FALSE(setConfigInt(config.base(), "orientation", -90));
        EXPECT_FALSE(setConfigAccountBranch(config.base(), "a", "b"));
        EXPECT_FALSE(removeConfigKey(config.base(), "name"));
        EXPECT_FALSE(setConfigDisplayMode(config.base(), mode(1920, 1080, 60.0f)));
        EXPECT_FALSE(migrateLegacyConfig(config.base()));

        EXPECT_EQ(config.configText(), damaged);
        EXPECT_EQ(readFile((config.data() / "name").string()), "Legacy\n");
    }
}

TEST(ConfigStore, SetterFailsWithoutDataDirectory) {
    testing::TempDir dir;
    ::testing::internal::CaptureStderr();
    EXPECT_FALSE(setConfigString(dir.str(), "name", "x"));
    const std::string err = ::testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find("[FILE]"), std::string::npos);
    EXPECT_FALSE(fs::exists(configPath(dir.str())));
}

TEST(ConfigStore, RemoveKeyRewritesOnlyWhenTheKeyIsThere) {
    ConfigFixture config;
    // Compact text that any save would reformat, so an unneeded write shows.
    const std::string compact = R"({"groupId":"lobby","name":"n"})";
    config.writeConfig(compact);
    EXPECT_TRUE(removeConfigKey(config.base(), "absent"));
    EXPECT_EQ(config.configText(), compact);

    EXPECT_TRUE(removeConfigKey(config.base(), "groupId"));
    EXPECT_EQ(config.configText(), "{\n  \"name\" : \"n\"\n}\n");

    ConfigFixture empty;
    EXPECT_TRUE(removeConfigKey(empty.base(), "groupId"));
    EXPECT_FALSE(fs::exists(empty.file()));
}

TEST(ConfigStore, InvalidDisplayModeTouchesNothing) {
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const float inf = std::numeric_limits<float>::infinity();
    const std::string original = R"({"displayMode":"1280x720@50","resolution":{"width":1,"height":1,"refreshRate":1}})";
    for (const DisplayMode& bad : {mode(1920, 1080, 0.0f), mode(1920, 1080, nan), mode(1920, 1080, inf),
                                   mode(1920, 1080, -60.0f), mode(0, 1080, 60.0f), mode(1920, -1, 60.0f)}) {
        ConfigFixture config;
        config.writeConfig(original);
        EXPECT_FALSE(setConfigDisplayMode(config.base(), bad));
        EXPECT_EQ(config.configText(), original);

        ConfigFixture missing;
        EXPECT_FALSE(setConfigDisplayMode(missing.base(), bad));
        EXPECT_FALSE(fs::exists(missing.file()));
    }
}

TEST(ConfigStore, DisplayModeReplacesObsoleteResolution) {
    ConfigFixture config;
    config.writeConfig(R"({"name":"n","resolution":{"width":1920,"height":1080,"refreshRate":60}})");
    ASSERT_TRUE(setConfigDisplayMode(config.base(), mode(3840, 2160, 29.97f)));
    const Json::Value document = config.document();
    EXPECT_EQ(document["displayMode"].asString(), "3840x2160@29.97");
    EXPECT_FALSE(document.isMember("resolution"));
    EXPECT_EQ(document["name"].asString(), "n");
    const std::optional<DisplayMode> stored = configDisplayMode(config.base());
    ASSERT_TRUE(stored.has_value());
    EXPECT_TRUE(sameMode(*stored, mode(3840, 2160, 29.97f)));
}

TEST(ConfigStore, ConcurrentSettersLoseNoChange) {
    ConfigFixture config;
    constexpr int threads = 8;
    constexpr int rounds = 40;
    std::vector<std::thread> workers;
    for (int t = 0; t < threads; ++t) {
        workers.emplace_back([&config, t] {
            for (int round = 0; round < rounds; ++round) {
                const std::string key = "key" + std::to_string(t);
                if (t % 2 == 0) {
                    EXPECT_TRUE(setConfigInt(config.base(), key, round));
                } else {
                    EXPECT_TRUE(setConfigString(config.base(), key, std::to_string(round)));
                }
                // Readers in between never see a half-written or missing file.
                EXPECT_NE(configInt(config.base(), "key0", -1), -2);
            }
        });
    }
    for (std::thread& worker : workers) worker.join();

    const Json::Value document = config.document();
    EXPECT_EQ(document.size(), static_cast<Json::ArrayIndex>(threads));
    for (int t = 0; t < threads; ++t) {
        const std::string key = "key" + std::to_string(t);
        if (t % 2 == 0) {
            EXPECT_EQ(configInt(config.base(), key, -1), rounds - 1) << key;
        } else {
            EXPECT_EQ(configString(config.base(), key), std::to_string(rounds - 1)) << key;
        }
    }
    // No temporary files are left beside the configuration.
    int entries = 0;
    for (const auto& entry : fs::directory_iterator(config.data())) {
        (void)entry;
        ++entries;
    }
    EXPECT_EQ(entries, 1);
}

// One migration case: the configuration file before (nullopt: none), the legacy files, and what
// must hold afterwards.
struct MigrationCase {
    const char* name;
    std::optional<std::string> before;
    std::map<std::string, std::string> legacy;
    std::optional<std::string> after;  // expected document; nullopt: no configuration file
    std::vector<std::string> remaining;  // legacy files still there afterwards
};

TEST(ConfigMigration, FoldsLegacyValuesIntoTheDocument) {
    const MigrationCase cases[] = {
        {"nothing at all", std::nullopt, {}, std::nullopt, {}},
        {"resolution object becomes a display mode",
         R"({"resolution":{"width":1920,"height":1080,"refreshRate":60}})",
         {},
         R"({"displayMode":"1920x1080@60"})",
         {}},
        {"real refresh rate in the resolution object",
         R"({"resolution":{"width":1280,"height":720,"refreshRate":59.94}})",
         {},
         R"({"displayMode":"1280x720@59.94"})",
         {}},
        {"invalid resolution object is dropped and the legacy file not read",
         R"({"resolution":{"width":0,"height":1080,"refreshRate":60}})",
         {{"resolution", "1280 720 50"}},
         R"({})",
         {"resolution"}},
        {"resolution object of the wrong shape falls back to the legacy file",
         R"({"resolution":{"width":"1920","height":1080,"refreshRate":60}})",
         {{"resolution", "1280 720 50 trailing words"}},
         R"({"displayMode":"1280x720@50"})",
         {"resolution"}},
        {"legacy resolution file with a real rate",
         std::nullopt,
         {{"resolution", "1920\n1080\n59.94\n"}},
         R"({"displayMode":"1920x1080@59.94"})",
         {"resolution"}},
        {"invalid legacy resolution file",
         std::nullopt,
         {{"resolution", "1920 1080 0"}},
         std::nullopt,
         {"resolution"}},
        {"stored display mode wins over the resolution object",
         R"({"displayMode":"800x600@75","resolution":{"width":1920,"height":1080,"refreshRate":60}})",
         {{"resolution", "1280 720 50"}},
         R"({"displayMode":"800x600@75"})",
         {"resolution"}},
        {"peer group with CR LF becomes the group id",
         std::nullopt,
         {{"peer-group", "lobby\r\n"}},
         R"({"groupId":"lobby"})",
         {}},
        {"peer group of only line breaks is no group",
         std::nullopt,
         {{"peer-group", "\r\n\n"}},
         std::nullopt,
         {"peer-group"}},
        {"stored group id wins and the legacy file goes",
         R"({"groupId":"atrium"})",
         {{"peer-group", "lobby\n"}},
         R"({"groupId":"atrium"})",
         {}},
        {"legacy name is kept untrimmed",
         std::nullopt,
         {{"name", "Hall 2\n"}},
         R"({"name":"Hall 2\n"})",
         {}},
        {"stored name wins and the legacy file goes",
         R"({"name":"Foyer"})",
         {{"name", "Hall 2\n"}},
         R"({"name":"Foyer"})",
         {}},
        {"orientation read from the start of the legacy file",
         std::nullopt,
         {{"orientation", "  -90 degrees\n"}},
         R"({"orientation":-90})",
         {"orientation"}},
        {"non-numeric orientation leaves the key absent",
         std::nullopt,
         {{"orientation", "left"}},
         std::nullopt,
         {"orientation"}},
        {"stored orientation wins",
         R"({"orientation":-180})",
         {{"orientation", "-90"}},
         R"({"orientation":-180})",
         {"orientation"}},
        {"obsolete group switch is removed",
         R"({"groupEnabled":true,"name":"n"})",
         {},
         R"({"name":"n"})",
         {}},
        {"everything at once keeps unknown members",
         R"({"custom":[1],"resolution":{"width":1920,"height":1080,"refreshRate":50}})",
         {{"name", "Hall"}, {"orientation", "-270"}, {"peer-group", "g1\n"}, {"resolution", "640 480 60"}},
         R"({"custom":[1],"name":"Hall","orientation":-270,"displayMode":"1920x1080@50","groupId":"g1"})",
         {"orientation", "resolution"}},
    };
    for (const MigrationCase& c : cases) {
        SCOPED_TRACE(c.name);
        ConfigFixture config;
        if (c.before) config.writeConfig(*c.before);
        for (const auto& [file, content] : c.legacy) testing::writeTestFile(config.data() / file, content);

        EXPECT_TRUE(migrateLegacyConfig(config.base()));

        if (c.after) {
            Json::Value expected;
            ASSERT_TRUE(Json::Reader().parse(*c.after, expected));
            EXPECT_EQ(config.document(), expected) << config.configText();
        } else {
            EXPECT_FALSE(fs::exists(config.file()));
        }
        std::vector<std::string> remaining;
        for (const char* file : {"name", "orientation", "peer-group", "resolution"}) {
            if (fs::exists(config.data() / file)) remaining.push_back(file);
        }
        EXPECT_EQ(remaining, c.remaining);
        for (const std::string& file : remaining) {
            EXPECT_EQ(readFile((config.data() / file).string()), c.legacy.at(file)) << file;
        }
    }
}

TEST(ConfigMigration, WritesNothingWhenNothingChangedButStillClearsLeftovers) {
    ConfigFixture config;
    const std::string compact = R"({"name":"Foyer","groupId":"lobby","displayMode":"1920x1080@60","orientation":0})";
    config.writeConfig(compact);
    testing::writeTestFile(config.data() / "name", "Old\n");
    testing::writeTestFile(config.data() / "peer-group", "old\n");
    testing::writeTestFile(config.data() / "orientation", "-90\n");

    EXPECT_TRUE(migrateLegacyConfig(config.base()));
    EXPECT_EQ(config.configText(), compact);
    EXPECT_FALSE(fs::exists(config.data() / "name"));
    EXPECT_FALSE(fs::exists(config.data() / "peer-group"));
    EXPECT_TRUE(fs::exists(config.data() / "orientation"));

    // A second run is a no-op.
    EXPECT_TRUE(migrateLegacyConfig(config.base()));
    EXPECT_EQ(config.configText(), compact);
}

TEST(ConfigMigration, FailedCleanupReportsFailureAndStops) {
    ConfigFixture config;
    config.writeConfig(R"({"name":"Foyer","groupId":"lobby"})");
    // A legacy "name" that cannot be deleted: a directory with something in it.
    testing::writeTestFile(config.data() / "name" / "inside", "x");
    testing::writeTestFile(config.data() / "peer-group", "lobby\n");

    EXPECT_FALSE(migrateLegacyConfig(config.base()));
    EXPECT_TRUE(fs::exists(config.data() / "name" / "inside"));
    EXPECT_TRUE(fs::exists(config.data() / "peer-group"));
}

}  // namespace
}  // namespace lumetta
