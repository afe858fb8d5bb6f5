#include "objects/font_path.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "support/temp_dir.h"

namespace lumetta {
namespace {

TEST(FontPath, PicksTheStyleSuffixAndRemovesSpaces) {
    testing::TempDir dir;
    for (const char* name : {"OpenSans-Regular.ttf", "OpenSans-Bold.ttf", "OpenSans-Italic.ttf",
                             "OpenSans-BoldItalic.ttf"}) {
        testing::writeTestFile(dir / name, "x");
    }
    struct Case {
        std::uint8_t style;
        const char* file;
    };
    // Underline (4) and outline (8) do not choose a file.
    const Case cases[] = {{0, "OpenSans-Regular.ttf"}, {1, "OpenSans-Bold.ttf"},   {2, "OpenSans-Italic.ttf"},
                          {3, "OpenSans-BoldItalic.ttf"}, {4, "OpenSans-Regular.ttf"}, {8 | 1, "OpenSans-Bold.ttf"},
                          {15, "OpenSans-BoldItalic.ttf"}};
    for (const auto& c : cases) {
        EXPECT_EQ(fontPath(dir.str(), "Open Sans", c.style), dir.str() + "/" + c.file) << int(c.style);
    }
}

TEST(FontPath, FallsBackToThePlainFileWhenTheStyledOneIsMissing) {
    testing::TempDir dir;
    testing::writeTestFile(dir / "Lemon-Regular.ttf", "x");
    EXPECT_EQ(fontPath(dir.str(), "Lemon", 0), dir.str() + "/Lemon-Regular.ttf");
    EXPECT_EQ(fontPath(dir.str(), "Lemon", 1), dir.str() + "/Lemon.ttf");
    // The fallback is not checked: an unknown family still yields a path, which fails to open.
    EXPECT_EQ(fontPath(dir.str(), "No Such", 2), dir.str() + "/NoSuch.ttf");
    // A styled name whose status cannot be read (here a symbolic link loop) falls back too.
    std::filesystem::create_symlink("Loop-Bold.ttf", dir / "Loop-Bold.ttf");
    EXPECT_EQ(fontPath(dir.str(), "Loop", 1), dir.str() + "/Loop.ttf");
}

TEST(FontPath, AFamilyThatCouldLeaveTheDirectoryNamesNoFont) {
    for (const std::string& family : {std::string("../etc/passwd"), std::string("/etc/passwd"),
                                     std::string("Lato/"), std::string("Lato\0x", 6)}) {
        EXPECT_EQ(fontPath("assets/fonts", family, 0), "") << family;
    }
}

TEST(FontPath, UsesTheSharedFontsDirectoryWithItsRealFiles) {
    // Tests run from the checkout, whose fonts directory holds Lato in every style.
    const std::string path = fontPath("Lato", 1);
    EXPECT_EQ(path.substr(path.size() - std::string("/Lato-Bold.ttf").size()), "/Lato-Bold.ttf");
}

TEST(RemoveSpaces, RemovesOnlyTheSpaceByte) {
    std::string family = " Open\tSans  Pro ";
    removeSpaces(family);
    EXPECT_EQ(family, "Open\tSansPro");
}

}  // namespace
}  // namespace lumetta
