#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <string>

#include "core/palette.h"
#include "support/subprocess.h"
#include "support/temp_dir.h"
#include "core/shared_defaults.h"

namespace lumetta {
namespace {

// Read during this file's own static initialisation: the values must already be fixed.
const std::string productAtStaticInit = sharedDefaults().productLabel;
const std::string programDirectoryAtStaticInit = sharedDefaults().programDirectoryName;
const std::size_t resetLengthAtStaticInit = ansi::RESET.size();

TEST(Palette, UsableFromAnotherFilesStaticInitialiser) {
    EXPECT_EQ(productAtStaticInit, "QUORVELA");
    EXPECT_EQ(programDirectoryAtStaticInit, "lumetta");
    EXPECT_EQ(resetLengthAtStaticInit, ansi::RESET.size());
}

TEST(Palette, SharedDefaultValues) {
    EXPECT_EQ(sharedDefaults().webSocketScheme, "wss");
    EXPECT_EQ(sharedDefaults().httpScheme, "https");
    EXPECT_EQ(sharedDefaults().broadcastAddress, "255.255.255.255");
    EXPECT_EQ(sharedDefaults().playingFileName, "playing.json");
    EXPECT_EQ(sharedDefaults().playlistFileName, "playlist.json");
    EXPECT_FALSE(sharedDefaults().serviceHost.empty());
}

TEST(Palette, ColorDecisionTable) {
    struct Case {
        const char* name;
        std::map<std::string, const char*> env;
        bool out, err;
        bool expected;
    };
    const Case cases[] = {
        {"terminals, plain TERM", {{"TERM", "xterm"}}, true, true, true},
        {"no TERM at all", {}, true, true, true},
        {"NO_COLOR empty", {{"NO_COLOR", ""}, {"TERM", "xterm"}}, true, true, false},
        {"NO_COLOR set", {{"NO_COLOR", "1"}}, true, true, false},
        {"TERM dumb", {{"TERM", "dumb"}}, true, true, false},
        {"TERM DUMB", {{"TERM", "DUMB"}}, true, true, true},
        {"TERM dumb-term", {{"TERM", "dumb-term"}}, true, true, true},
        {"stderr a file", {{"TERM", "xterm"}}, true, false, false},
        {"stdout a file", {{"TERM", "xterm"}}, false, true, false},
    };
    for (const auto& c : cases) {
        auto lookup = [&](const char* name) -> const char* {
            auto it = c.env.find(name);
            return it == c.env.end() ? nullptr : it->second;
        };
        auto tty = [&](int fd) { return fd == 1 ? c.out : fd == 2 ? c.err : false; };
        EXPECT_EQ(decideColor(lookup, tty), c.expected) << c.name;
    }
}

struct ProbeOutput {
    std::map<std::string, std::string> values;
};

ProbeOutput runProbe(bool outTerminal, bool errTerminal, std::map<std::string, std::optional<std::string>> env,
                     const std::string& cwd = {}) {
    testing::ProcessOptions options;
    options.stdoutTerminal = outTerminal;
    options.stderrTerminal = errTerminal;
    options.environment = std::move(env);
    options.workingDirectory = cwd;
    auto result = testing::runProcess({PALETTE_PROBE}, options);
    EXPECT_EQ(result.exitStatus, 0);
    ProbeOutput probe;
    std::string line;
    for (char c : result.out) {
        if (c == '\n') {
            if (!line.empty() && line.back() == '\r') line.pop_back();
            auto eq = line.find('=');
            if (eq != std::string::npos) probe.values[line.substr(0, eq)] = line.substr(eq + 1);
            line.clear();
        } else {
            line += c;
        }
    }
    return probe;
}

TEST(Palette, RealProcessDecidesOnBothStreams) {
    auto both = runProbe(true, true, {{"NO_COLOR", std::nullopt}, {"TERM", "xterm"}});
    EXPECT_EQ(both.values["color"], "1");
    EXPECT_EQ(both.values["bold_red"], "ESC[1;38;2;255;64;64m");
    EXPECT_EQ(both.values["reset"], "ESC[0m");

    // Standard output on a terminal but standard error redirected: colour off everywhere.
    auto errFile = runProbe(true, false, {{"NO_COLOR", std::nullopt}, {"TERM", "xterm"}});
    EXPECT_EQ(errFile.values["color"], "0");
    EXPECT_EQ(errFile.values["bold_red"], "");
    EXPECT_EQ(errFile.values["reset"], "");

    auto noColor = runProbe(true, true, {{"NO_COLOR", ""}, {"TERM", "xterm"}});
    EXPECT_EQ(noColor.values["color"], "0");
}

TEST(Palette, ServiceHostFromEnvironment) {
    auto probe = runProbe(false, false, {{"LUMETTA_SERVICE_HOST", "127.0.0.1:8443"}});
    EXPECT_EQ(probe.values["host"], "127.0.0.1:8443");
}

TEST(Palette, FontsDirectoryChoice) {
    testing::TempDir dir;
    const auto a = (dir / "a").string(), b = (dir / "b").string(), c = (dir / "c").string();
    std::filesystem::create_directories(b);
    std::filesystem::create_directories(c);
    testing::writeTestFile(a, "a file, not a directory");
    EXPECT_EQ(chooseFontsDirectory({a, b, c}), b);

    // A symbolic link to a directory counts as a directory.
    std::filesystem::create_directory_symlink(c, dir / "link");
    EXPECT_EQ(chooseFontsDirectory({(dir / "missing").string(), (dir / "link").string()}), (dir / "link").string());

    EXPECT_EQ(chooseFontsDirectory({(dir / "x").string(), (dir / "y").string()}), "/usr/share/lumetta/fonts");

    // The product's own candidates, from a working directory that has only "assets/fonts".
    EXPECT_EQ(fontsDirectoryCandidates()[1], "assets/fonts");
    std::filesystem::create_directories(dir / "work/assets/fonts");
    auto probe = runProbe(false, false, {}, (dir / "work").string());
    if (!std::filesystem::is_directory("/usr/share/lumetta/fonts")) {
        EXPECT_EQ(probe.values["fonts"], "assets/fonts");
    }
}

}  // namespace
}  // namespace lumetta
