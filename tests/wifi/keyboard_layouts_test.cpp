// Keyboard layouts of the device: the table, detection from the two configuration files (one
// table of file contents, odd files among them) and switching through the fake setxkbmap and
// loadkeys.
#include "wifi/keyboard_layouts.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "support/fake_tools.h"
#include "support/process_hygiene.h"
#include "support/temp_dir.h"
#include "wifi_test_support.h"

namespace lumetta::wifi {
namespace {

using testing::FakeTools;
using testing::TempDir;

TEST(KeyboardLayouts, TheTableAndWhereTheDeviceNamesItsLayout) {
    const std::vector<std::vector<std::string>> expected = {{"gb", "uk", "United Kingdom"},
                                                            {"us", "us", "United States"},
                                                            {"de", "de", "German"},
                                                            {"fr", "fr", "French"},
                                                            {"es", "es", "Spanish"}};
    ASSERT_EQ(keyboardLayouts.size(), expected.size());
    for (std::size_t i = 0; i < expected.size(); ++i) {
        EXPECT_EQ((std::vector<std::string>{keyboardLayouts[i].xkbLayout, keyboardLayouts[i].consoleKeymap,
                                            keyboardLayouts[i].displayName}),
                  expected[i]);
        EXPECT_STREQ(keyboardLayoutAt(static_cast<int>(i)).xkbLayout, expected[i][0].c_str());
    }
    EXPECT_STREQ(keyboardLayoutAt(5).xkbLayout, "gb");
    EXPECT_STREQ(keyboardLayoutAt(-1).xkbLayout, "gb");

    const auto& sources = defaultLayoutSources();
    ASSERT_EQ(sources.size(), 2u);
    EXPECT_EQ(sources[0].file, "/etc/default/keyboard");
    EXPECT_EQ(sources[0].prefix, "XKBLAYOUT=");
    EXPECT_EQ(sources[1].file, "/etc/vconsole.conf");
    EXPECT_EQ(sources[1].prefix, "KEYMAP=");
}

// The two files of the device, written in a temporary directory; nullopt: the file is missing.
std::optional<int> detectIn(const std::optional<std::string>& keyboard, const std::optional<std::string>& vconsole) {
    TempDir dir;
    if (keyboard) testing::writeTestFile(dir / "keyboard", *keyboard);
    if (vconsole) testing::writeTestFile(dir / "vconsole.conf", *vconsole);
    return detectKeyboardLayout({{dir / "keyboard", "XKBLAYOUT="}, {dir / "vconsole.conf", "KEYMAP="}});
}

TEST(KeyboardLayoutDetection, ValuesQuotesCommasAndSuffixes) {
    struct Case {
        std::optional<std::string> keyboard;
        std::optional<std::string> vconsole;
        std::optional<int> expected;
    };
    const std::optional<std::string> none;
    const Case cases[] = {
        {"XKBLAYOUT=de,us\n", none, 2},
        {"XKBLAYOUT=\"de,us\"\n", none, 2},
        {"XKBLAYOUT=de,us,fr\n", none, 2},
        {"XKBLAYOUT='fr'\n", none, 3},
        {"XKBLAYOUT=uk\n", none, 0},
        {"XKBLAYOUT=gb\n", none, 0},
        {"XKBLAYOUT=\"uk,us\"\n", none, 0},  // cut before "uk" is read as "gb"
        {"XKBLAYOUT=es", none, 4},            // no final line feed
        {none, "KEYMAP=de-latin1\n", 2},
        {none, "KEYMAP=uk\n", 0},
        {none, "KEYMAP=\"us\"\n", 1},
        {"XKBLAYOUT=de-latin1\n", none, 2},  // a console keymap with a suffix counts in either file
        {"XKBLAYOUT=uk-extd\n", none, 0},
        {none, "KEYMAP=gb-extd\n", std::nullopt},  // an X code takes no suffix
        {"XKBLAYOUT=gb-extd\n", none, std::nullopt},
        {none, "KEYMAP=usa\n", std::nullopt},      // a suffix needs its "-"
        {none, "KEYMAP=de-\n", 2},
        {"XKBLAYOUT=\"\"\n", none, std::nullopt},  // two quotes leave nothing
        {"XKBLAYOUT=\"\n", none, std::nullopt},
        {"XKBLAYOUT=\n", none, std::nullopt},
        {"XKBLAYOUT=,de\n", none, std::nullopt},
        {"XKBLAYOUT=\"de'\n", none, std::nullopt},  // quotes that do not match stay
        {"XKBLAYOUT=DE\n", none, std::nullopt},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.keyboard.value_or("(none)") + " | " + c.vconsole.value_or("(none)"));
        EXPECT_EQ(detectIn(c.keyboard, c.vconsole), c.expected);
    }
}

TEST(KeyboardLayoutDetection, LinesFilesAndOrder) {
    struct Case {
        std::string what;
        std::optional<std::string> keyboard;
        std::optional<std::string> vconsole;
        std::optional<int> expected;
    };
    const std::optional<std::string> none;
    const std::string megabyte(1 << 20, 'x');
    const Case cases[] = {
        {"a later line decides", "XKBLAYOUT=it\nXKBLAYOUT=us\n", none, 1},
        {"the first recognised line wins", "XKBLAYOUT=fr\nXKBLAYOUT=us\n", none, 3},
        {"the second file decides", "XKBLAYOUT=it\n", "KEYMAP=es\n", 4},
        {"the first file comes first", "XKBLAYOUT=fr\n", "KEYMAP=de\n", 3},
        {"only the second file", none, "KEYMAP=us\n", 1},
        {"other keys", "XKBMODEL=pc105\nXKBVARIANT=de\nXKBOPTIONS=\nXKBLAYOUT=us\n", none, 1},
        {"leading blank", " XKBLAYOUT=de\n", none, std::nullopt},
        {"lower case", "xkblayout=de\n", none, std::nullopt},
        {"spaces round =", "XKBLAYOUT = de\n", none, std::nullopt},
        {"trailing blank", "XKBLAYOUT=de \n", none, std::nullopt},
        {"CRLF", "XKBLAYOUT=de\r\n", "KEYMAP=fr\r\n", std::nullopt},
        {"CRLF then LF", "XKBLAYOUT=de\r\nXKBLAYOUT=es\n", none, 4},
        {"byte-order mark", "\xEF\xBB\xBFXKBLAYOUT=de\n", none, std::nullopt},
        {"byte-order mark, then a line", "\xEF\xBB\xBFXKBLAYOUT=de\nXKBLAYOUT=fr\n", none, 3},
        {"a 1 MB value", "XKBLAYOUT=" + megabyte + "\nXKBLAYOUT=us\n", none, 1},
        {"a 1 MB line without the prefix", megabyte + "\nXKBLAYOUT=de", none, 2},
        {"a 1 MB value cut at a comma", "XKBLAYOUT=es," + megabyte, none, 4},
        {"NUL bytes", std::string("XKBLAYOUT=de\0x\n", 15), "KEYMAP=us\n", 1},
        {"empty files", "", "", std::nullopt},
        {"no files", none, none, std::nullopt},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(detectIn(c.keyboard, c.vconsole), c.expected);
    }
}

TEST(KeyboardLayoutDetection, ADirectoryOrAnUnreadableNameIsPassedOver) {
    TempDir dir;
    std::filesystem::create_directory(dir / "keyboard");
    testing::writeTestFile(dir / "vconsole.conf", "KEYMAP=fr\n");
    EXPECT_EQ(detectKeyboardLayout({{dir / "keyboard", "XKBLAYOUT="}, {dir / "vconsole.conf", "KEYMAP="}}), 3);
    EXPECT_EQ(detectKeyboardLayout({{dir / "vconsole.conf" / "below", "KEYMAP="}}), std::nullopt);
    EXPECT_EQ(detectKeyboardLayout({}), std::nullopt);
}

// ---------------------------------------------------------------------------------------------
// Switching

class KeyboardLayoutSwitch : public ::testing::Test {
protected:
    void SetUp() override {
        for (const char* tool : {"setxkbmap", "loadkeys"}) {
            ASSERT_TRUE(testing::resolvesToFake(tool)) << "refusing to run: '" << tool << "' on PATH is "
                                                       << testing::findOnPath(tool) << ", not the fake tool";
        }
    }
    void TearDown() override { EXPECT_EQ(hygiene.leftovers(), "") << "left behind by the test"; }

    testing::ProcessHygiene hygiene;
};

TEST_F(KeyboardLayoutSwitch, SetxkbmapThenLoadkeysWithTheRowsCodesAndNothingOnTheTerminal) {
    const std::vector<std::string> expected[] = {{"setxkbmap gb", "loadkeys uk"},
                                                 {"setxkbmap us", "loadkeys us"},
                                                 {"setxkbmap de", "loadkeys de"},
                                                 {"setxkbmap fr", "loadkeys fr"},
                                                 {"setxkbmap es", "loadkeys es"}};
    for (int index = 0; index < 5; ++index) {
        SCOPED_TRACE(index);
        FakeTools fakes;
        fakes.answer("setxkbmap", "@any", {.out = "x map\n", .err = "Cannot open display\n"});
        fakes.answer("loadkeys", "@any", {.out = "Loading keymap\n", .err = "Couldn't get a file descriptor\n"});
        testing::OwnStreamsToFiles own;
        applyKeyboardLayout(index);
        EXPECT_EQ(own.restoreAndRead(), "");
        EXPECT_EQ(fakes.log(), expected[index]);
    }
}

TEST_F(KeyboardLayoutSwitch, LoadkeysRunsWhateverBecameOfSetxkbmap) {
    for (const int status : {0, 1, 127}) {
        SCOPED_TRACE(status);
        FakeTools fakes;
        fakes.answer("setxkbmap", "de", {.status = status});
        fakes.answer("loadkeys", "de", {.status = 1});
        applyKeyboardLayout(2);
        EXPECT_EQ(fakes.log(), (std::vector<std::string>{"setxkbmap de", "loadkeys de"}));
    }
}

TEST_F(KeyboardLayoutSwitch, AnIndexOutsideTheTableRunsNothing) {
    FakeTools fakes;
    for (const int index : {5, 6, 100, -1, INT32_MIN}) applyKeyboardLayout(index);
    EXPECT_TRUE(fakes.log().empty());
}

}  // namespace
}  // namespace lumetta::wifi
