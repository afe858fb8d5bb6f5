#include "core/program_entry.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <regex>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "core/config_store.h"
#include "core/file_utils.h"
#include "core/palette.h"
#include "core/process_state.h"
#include "support/temp_dir.h"
#include "core/shared_defaults.h"
#include "package/local_package.h"

namespace lumetta {
namespace {

namespace fs = std::filesystem;

// argv as main receives it, with the program name first.
class Arguments {
public:
    explicit Arguments(std::vector<std::string> words) : words_(std::move(words)) {
        words_.insert(words_.begin(), "lumetta");
        for (std::string& word : words_) pointers_.push_back(word.data());
        pointers_.push_back(nullptr);
    }
    int argc() const { return static_cast<int>(words_.size()); }
    char** argv() { return pointers_.data(); }

private:
    std::vector<std::string> words_;
    std::vector<char*> pointers_;
};

TEST(CommandLine, ShapesOfTheCommandLine) {
    const LaunchAction run = LaunchAction::Run;
    const LaunchAction package = LaunchAction::LocalPackage;
    const struct {
        std::vector<std::string> words;
        LaunchAction action;
        std::string videoDriver;
        int x, y, width, height;
        bool mirror, watchdog, codecs;
    } cases[] = {
        {{}, run, "", 0, 0, 0, 0, false, false, false},
        {{"show.zip"}, package, "", 0, 0, 0, 0, false, false, false},
        {{"show.zip", "--capture", "out", "--motion-demo"}, package, "", 0, 0, 0, 0, false, false, false},
        {{"show.zip", "1280"}, package, "", 0, 0, 0, 0, false, false, false},
        {{"a.tar.zip"}, package, "", 0, 0, 0, 0, false, false, false},
        {{"/media/usb/show.zip", "--check"}, package, "", 0, 0, 0, 0, false, false, false},
        {{"show.ZIP"}, run, "show.ZIP", 0, 0, 0, 0, false, false, false},
        {{".zip"}, run, ".zip", 0, 0, 0, 0, false, false, false},
        {{"show.zip.bak"}, run, "show.zip.bak", 0, 0, 0, 0, false, false, false},
        {{"--mirror", "show.zip"}, run, "", -1, -1, 0, 0, false, false, false},
        {{"1280", "720"}, run, "", -1, -1, 1280, 720, false, false, false},
        {{"abc", "720"}, run, "", -1, -1, 0, 720, false, false, false},
        {{"1280px", " 720"}, run, "", -1, -1, 1280, 720, false, false, false},
        {{"10", "20", "1280", "720"}, run, "", 10, 20, 1280, 720, false, false, false},
        {{"-1", "0", "800", "600"}, run, "", -1, 0, 800, 600, false, false, false},
        {{"--mirror", "--enable-watchdog"}, run, "", -1, -1, 0, 0, false, false, false},
        {{"--help"}, LaunchAction::Help, "", 0, 0, 0, 0, false, false, false},
        {{"--show-git-hash"}, LaunchAction::ShowGitHash, "", 0, 0, 0, 0, false, false, false},
        {{"--show-codec-information"}, run, "", 0, 0, 0, 0, false, false, true},
        {{"--enable-watchdog"}, run, "", 0, 0, 0, 0, false, true, false},
        {{"--mirror"}, run, "", 0, 0, 0, 0, true, false, false},
        {{"kmsdrm"}, run, "kmsdrm", 0, 0, 0, 0, false, false, false},
        {{"--HELP"}, run, "--HELP", 0, 0, 0, 0, false, false, false},
        {{"--help", "--mirror", "x"}, run, "", 0, 0, 0, 0, false, false, false},
        {{"1", "2", "3", "4", "5"}, run, "", 0, 0, 0, 0, false, false, false},
    };
    for (const auto& c : cases) {
        std::string shown;
        for (const std::string& word : c.words) shown += "[" + word + "]";
        SCOPED_TRACE(shown);
        Arguments arguments(c.words);
        const LaunchOptions options = parseCommandLine(arguments.argc(), arguments.argv());
        EXPECT_EQ(options.action, c.action);
        EXPECT_EQ(options.videoDriver, c.videoDriver);
        EXPECT_EQ(options.x, c.x);
        EXPECT_EQ(options.y, c.y);
        EXPECT_EQ(options.width, c.width);
        EXPECT_EQ(options.height, c.height);
        EXPECT_EQ(options.mirror, c.mirror);
        EXPECT_EQ(options.watchdog, c.watchdog);
        EXPECT_EQ(options.showCodecInformation, c.codecs);
    }
}

TEST(CommandLine, UsageTextWithItsFormColumn) {
    ASSERT_FALSE(colorEnabled()) << "the test expects uncoloured output";
    const std::string service = sharedDefaults().httpScheme + "://" + sharedDefaults().serviceHost;
    const std::string expectedStart = " LUMETTA 39.21.0  # compatible with " + service + "\n";
    const std::string expectedOptions =
        "\n"
        " Startup options:\n"
        " lumetta                           # default to 1920x1080, when supported\n"
        " lumetta <playlist.zip> [--check | --capture directory [--motion-demo]]  # local sprite playback\n"
        " lumetta --show-git-hash           # show git hash\n"
        " lumetta --show-codec-information  # show codec information\n"
        " lumetta --enable-watchdog         # enable hardware Watchdog\n"
        " lumetta --mirror                  # mirror the primary output to secondary displays\n"
        " lumetta {available}               # override default Video Driver\n"
        " lumetta <width> <height>          # force a resolution\n"
        " lumetta <x> <y> <width> <height>  # set position (-1 in x or y will center on axis) and resolution\n";
    std::ostringstream out;
    printUsage(out);
    const std::string text = out.str();
    ASSERT_EQ(text.substr(0, expectedStart.size()), expectedStart);
    ASSERT_GE(text.size(), expectedOptions.size());
    EXPECT_EQ(text.substr(text.size() - expectedOptions.size()), expectedOptions);
    // Two notice lines between the heading and the empty line.
    const std::string notices = text.substr(expectedStart.size(), text.size() - expectedStart.size() -
                                                                      expectedOptions.size());
    EXPECT_TRUE(std::regex_match(notices, std::regex(" [^\n]+\n [^\n]+\n"))) << notices;
}

TEST(CommandLine, HelpAndHashEndTheRunWithStatus255) {
    {
        Arguments arguments({"--help"});
        LaunchOptions options;
        std::ostringstream out, usage;
        EXPECT_EQ(handleCommandLine(arguments.argc(), arguments.argv(), options, out), 255);
        printUsage(usage);
        EXPECT_EQ(out.str(), usage.str() + "\n");
    }
    {
        Arguments arguments({"--show-git-hash"});
        LaunchOptions options;
        std::ostringstream out;
        EXPECT_EQ(handleCommandLine(arguments.argc(), arguments.argv(), options, out), 255);
        EXPECT_TRUE(std::regex_match(out.str(), std::regex("Show Hash: [0-9a-f]{40}\n\n"))) << out.str();
    }
}

TEST(CommandLine, PackageRunGoesToTheHandOffAndItsResultIsTheStatus) {
    Arguments arguments({"show.zip", "--check"});
    LaunchOptions options;
    std::ostringstream out;
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(handleCommandLine(arguments.argc(), arguments.argv(), options, out), std::nullopt);
    ASSERT_EQ(options.action, LaunchAction::LocalPackage);
    EXPECT_EQ(runLocalPlaylistPackage(arguments.argc(), arguments.argv()), 1);
    const std::string err = ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(err, "[PACKAGE] Local playlist packages are not available yet\n");
    EXPECT_EQ(out.str(), "");
}

TEST(CommandLine, SwitchesAreAnnouncedAndTheRunGoesOn) {
    const struct {
        const char* word;
        const char* printed;
        bool codecs;
    } cases[] = {
        {"--show-codec-information", "Show Codec Information: ENABLED\n", true},
        {"--enable-watchdog", "Hardware Watchdog: ENABLED\n", false},
        {"--mirror", "", false},
        {"kmsdrm", "", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.word);
        showCodecInformation = false;
        Arguments arguments({c.word});
        LaunchOptions options;
        std::ostringstream out;
        EXPECT_EQ(handleCommandLine(arguments.argc(), arguments.argv(), options, out), std::nullopt);
        EXPECT_EQ(out.str(), c.printed);
        EXPECT_EQ(showCodecInformation, c.codecs);
    }
    showCodecInformation = false;
}

TEST(DeviceIdentity, SerialNumberOrMachineId) {
    testing::TempDir dir;
    const std::string machineId =
        testing::writeTestFile(dir / "machine-id", "0123456789abcdef0123456789abcdef\n").string();
    const std::string crlfMachineId = testing::writeTestFile(dir / "crlf-id", "ab\r\ncd\n").string();
    const std::string missing = (dir / "missing").string();
    const struct {
        const char* serial;
        std::string machineIdFile;
        const char* expected;
    } cases[] = {
        {"10000000c0ffee42\n", missing, "10000000C0FFEE42"},
        {"", machineId, "0123456789ABCDEF0123456789ABCDEF"},
        {"0000000000000000", machineId, "0123456789ABCDEF0123456789ABCDEF"},
        {"00000000", machineId, "00000000"},
        {"0000000000000000\n", machineId, "0000000000000000"},  // only the exact sixteen zeros fall back
        {"", crlfMachineId, "AB\rCD"},                           // carriage returns stay
        {" serial with\tblanks ", missing, " SERIAL WITH\tBLANKS "},
        {"caf\xc3\xa9", missing, "CAF\xc3\xa9"},                 // bytes beyond ASCII unchanged
        {"", missing, ""},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(deriveDeviceId(c.serial, c.machineIdFile), c.expected) << c.serial;
    }
}

// Puts the process-wide settings back after a test that loads them.
class StartupSettings : public ::testing::Test {
protected:
    void TearDown() override {
        configBaseDirectory.clear();
        setDeviceName("");
        displayRotation = 0;
    }
};

TEST_F(StartupSettings, CreatesTheDataDirectoryMigratesAndReads) {
    testing::TempDir dir;
    const std::string base = (dir / "fresh" / "home").string();
    std::ostringstream err;
    loadStartupSettings(base, err);
    EXPECT_EQ(err.str(), "");
    EXPECT_EQ(configBaseDirectory, base);
    EXPECT_TRUE(fs::is_directory(dir / "fresh" / "home" / "lumetta"));
    EXPECT_EQ(currentDeviceName(), "");
    EXPECT_EQ(displayRotation.load(), 0);
    // A fresh device can save its settings at once.
    EXPECT_TRUE(setConfigString(base, "name", "Foyer"));

    // Legacy one-value files of an older installation are folded in before anything is read.
    testing::TempDir old;
    testing::writeTestFile(old / "lumetta" / "name", "Hall 2\n");
    testing::writeTestFile(old / "lumetta" / "orientation", "-90\n");
    loadStartupSettings(old.str(), err);
    EXPECT_EQ(err.str(), "");
    EXPECT_EQ(currentDeviceName(), "Hall 2\n");
    EXPECT_EQ(displayRotation.load(), -90);
    EXPECT_EQ(configString(old.str(), "name"), "Hall 2\n");
    EXPECT_FALSE(fs::exists(old / "lumetta" / "name"));
}

TEST_F(StartupSettings, FailuresAreReportedAndTheRunGoesOn) {
    testing::TempDir damaged;
    testing::writeTestFile(damaged / "lumetta" / "config.json", "[\"not an object\"]");
    testing::writeTestFile(damaged / "lumetta" / "orientation", "-180\n");
    std::ostringstream err;
    loadStartupSettings(damaged.str(), err);
    EXPECT_EQ(err.str(), "[CONFIG] Unable to migrate legacy device configuration\n");
    EXPECT_EQ(currentDeviceName(), "");
    EXPECT_EQ(displayRotation.load(), 0);
    EXPECT_EQ(readFile((damaged / "lumetta" / "config.json").string()), "[\"not an object\"]");

    testing::TempDir blocked;
    testing::writeTestFile(blocked / "lumetta", "a file where the data directory belongs");
    std::ostringstream blockedErr;
    loadStartupSettings(blocked.str(), blockedErr);
    EXPECT_EQ(blockedErr.str().rfind("[CONFIG] Unable to create data directory \"" + (blocked / "lumetta").string() +
                                         "\": ",
                                     0),
              0u)
        << blockedErr.str();
}

TEST(RequestedDisplayMode, StoredModeOnlyWithoutGeometry) {
    testing::TempDir dir;
    fs::create_directories(dir / "lumetta");
    LaunchOptions none;
    EXPECT_FALSE(requestedDisplayMode(none, dir.str()).has_value());

    DisplayMode stored;
    stored.width = 1280;
    stored.height = 720;
    stored.refreshRate = 50.0f;
    stored.pixelDensity = 2.0f;
    ASSERT_TRUE(setConfigDisplayMode(dir.str(), stored));
    const std::optional<DisplayMode> asked = requestedDisplayMode(none, dir.str());
    ASSERT_TRUE(asked.has_value());
    EXPECT_TRUE(sameMode(*asked, stored));
    EXPECT_EQ(asked->pixelDensity, 1.0f);

    const struct {
        int x, y, width, height;
    } geometries[] = {{-1, -1, 1280, 720}, {10, 20, 800, 600}, {0, 0, 0, 720}, {-1, -1, 0, 0}, {5, 0, 0, 0}};
    for (const auto& g : geometries) {
        LaunchOptions options;
        options.x = g.x;
        options.y = g.y;
        options.width = g.width;
        options.height = g.height;
        EXPECT_FALSE(requestedDisplayMode(options, dir.str()).has_value()) << g.x << " " << g.y << " " << g.width;
    }
}

TEST(DisplayBringUp, WaitingLinesOnFirstAndEveryThirtiethFailureThenRecovery) {
    const struct {
        int failures;
        int waitingLines;
        int stillUnavailable;
    } cases[] = {{0, 0, 0}, {1, 1, 0}, {29, 1, 0}, {30, 2, 1}, {61, 3, 2}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.failures);
        int attempts = 0;
        int waits = 0;
        std::ostringstream out, err;
        const int failures = retryUntilDisplayUp(
            [&] {
                if (++attempts <= c.failures) throw std::runtime_error("no video device");
            },
            [&] { ++waits; }, out, err);
        EXPECT_EQ(failures, c.failures);
        EXPECT_EQ(attempts, c.failures + 1);
        EXPECT_EQ(waits, c.failures);

        std::istringstream lines(err.str());
        std::string line;
        int waiting = 0, still = 0;
        while (std::getline(lines, line)) {
            if (line == "[DISPLAY] Waiting for a video device: no video device; retrying") {
                ++waiting;
            } else if (line == "[DISPLAY] Waiting for a video device: no video device; retrying (still unavailable)") {
                ++waiting;
                ++still;
            } else {
                ADD_FAILURE() << "unexpected line: " << line;
            }
        }
        EXPECT_EQ(waiting, c.waitingLines);
        EXPECT_EQ(still, c.stillUnavailable);
        EXPECT_EQ(out.str(), c.failures == 0 ? std::string()
                                             : "[DISPLAY] Video device available after " +
                                                   std::to_string(c.failures) + " retries\n");
    }
}

TEST(DisplayBringUp, OnlyStandardExceptionsAreRetried) {
    std::ostringstream out, err;
    EXPECT_THROW(retryUntilDisplayUp([] { throw 42; }, [] {}, out, err), int);
    EXPECT_EQ(err.str(), "");
}

TEST(FactoryReset, ClearsAndRecreatesTheDataDirectoryThenReboots) {
    testing::TempDir dir;
    testing::writeTestFile(dir / "lumetta" / "config.json", "{}");
    testing::writeTestFile(dir / "lumetta" / "playlists" / "7" / "playlist.json", "{}");
    testing::writeTestFile(dir / "beside.txt", "kept");
    fs::create_symlink(dir / "beside.txt", dir / "lumetta" / "link");
    const std::string roundabout =
        (dir.path().parent_path() / "." / ".." / dir.path().parent_path().filename() / dir.path().filename()).string();
    for (const std::string& base : {dir.str(), roundabout}) {
        SCOPED_TRACE(base);
        int reboots = 0;
        std::ostringstream out, err;
        EXPECT_EQ(factoryReset(base, [&] { ++reboots; }, out, err), FactoryResetResult::Cleared);
        EXPECT_EQ(reboots, 1);
        EXPECT_TRUE(fs::is_directory(dir / "lumetta"));
        EXPECT_TRUE(fs::is_empty(dir / "lumetta"));
        EXPECT_EQ(readFile((dir / "beside.txt").string()), "kept");
        EXPECT_EQ(out.str(), "[FACTORY RESET] Cleared \"" + (dir / "lumetta").string() + "\"\n");
        EXPECT_EQ(err.str(), "");
    }
    // A missing data directory is simply created.
    testing::TempDir empty;
    std::ostringstream out, err;
    EXPECT_EQ(factoryReset(empty.str(), [] {}, out, err), FactoryResetResult::Cleared);
    EXPECT_TRUE(fs::is_directory(empty / "lumetta"));
}

// Records the steps a reset would take instead of touching the disk.
struct RecordedResetSteps final : ResetSteps {
    std::vector<std::string> calls;
    void removeAll(const fs::path& path, std::error_code&) override { calls.push_back("remove " + path.string()); }
    void createDirectories(const fs::path& path, std::error_code&) override {
        calls.push_back("create " + path.string());
    }
};

TEST(FactoryReset, RefusesUnsafeBasesAndReportsFailures) {
    // These bases name the machine's own root and the tests' working directory: the reset only
    // records what it would do, so even a weakened check cannot remove anything there.
    const struct {
        const char* base;
        const char* target;
    } unsafe[] = {{"/", "/lumetta"}, {"/home/..", "/lumetta"}, {"home", "home/lumetta"}, {"", "lumetta"},
                  {".", "lumetta"}};
    for (const auto& c : unsafe) {
        SCOPED_TRACE(c.base);
        int reboots = 0;
        std::ostringstream out, err;
        RecordedResetSteps steps;
        EXPECT_EQ(factoryReset(c.base, [&] { ++reboots; }, out, err, steps), FactoryResetResult::Refused);
        EXPECT_EQ(steps.calls, std::vector<std::string>{});
        EXPECT_EQ(reboots, 0);
        EXPECT_EQ(out.str(), "");
        EXPECT_EQ(err.str(), std::string("[FACTORY RESET] Refusing unsafe data path: \"") + c.target + "\"\n");
    }
    {
        // The same steps are taken for a safe base, in this order.
        RecordedResetSteps steps;
        std::ostringstream out, err;
        EXPECT_EQ(factoryReset("/srv/player", [] {}, out, err, steps), FactoryResetResult::Cleared);
        EXPECT_EQ(steps.calls,
                  (std::vector<std::string>{"remove /srv/player/lumetta", "create /srv/player/lumetta"}));
    }

    // The base is a file, so the data directory cannot be made again: no reboot.
    testing::TempDir dir;
    const fs::path file = testing::writeTestFile(dir / "plain-file", "x");
    int reboots = 0;
    std::ostringstream out, err;
    EXPECT_EQ(factoryReset(file.string(), [&] { ++reboots; }, out, err), FactoryResetResult::Failed);
    EXPECT_EQ(reboots, 0);
    EXPECT_EQ(out.str(), "");
    EXPECT_EQ(err.str().rfind("[FACTORY RESET] Failed to clear \"" + (file / "lumetta").string() + "\": ", 0), 0u)
        << err.str();
}

}  // namespace
}  // namespace lumetta
