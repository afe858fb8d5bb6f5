#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>

#include <cstring>
#include <filesystem>
#include <set>
#include <iomanip>
#include <sstream>
#include <thread>
#include <vector>

#include "core/file_utils.h"
#include "core/palette.h"
#include "support/temp_dir.h"

namespace lumetta {
namespace {

namespace fs = std::filesystem;

std::vector<std::string> entriesOf(const fs::path& dir) {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(dir)) names.push_back(entry.path().filename().string());
    return names;
}

TEST(WriteFileAtomically, ReplacesContentAndLeavesNoTemporary) {
    testing::TempDir dir;
    const std::string target = (dir / "config.json").string();
    ASSERT_TRUE(writeFileAtomically(target, "first version, longer than the second"));
    ASSERT_TRUE(writeFileAtomically(target, "second"));
    EXPECT_EQ(readFile(target), "second");
    EXPECT_EQ(entriesOf(dir.path()), std::vector<std::string>{"config.json"});

    ASSERT_TRUE(writeFileAtomically(target, ""));
    EXPECT_TRUE(fs::exists(target));
    EXPECT_EQ(fs::file_size(target), 0u);

    std::string binary("a\0b\xff", 4);
    ASSERT_TRUE(writeFileAtomically(target, binary));
    EXPECT_EQ(readFile(target), binary);
}

// Flushes for real, and records each flush with what the target held at that moment.
struct WatchedSync final : SyncSteps {
    std::string target;
    bool failFile = false;
    std::vector<std::string> steps;

    bool syncFile(int fd) override {
        steps.push_back("file, target '" + readFile(target) + "'");
        if (failFile) {
            errno = EIO;
            return false;
        }
        return SyncSteps::syncFile(fd);
    }
    bool syncDirectory(const fs::path& directory) override {
        steps.push_back("directory " + directory.string() + ", target '" + readFile(target) + "'");
        return SyncSteps::syncDirectory(directory);
    }
};

TEST(SyncSteps, TheDiskDirectoryFlushReportsADirectoryThatCannotBeOpened) {
    testing::TempDir dir;
    EXPECT_TRUE(diskSyncSteps().syncDirectory(dir.path()));
    EXPECT_FALSE(diskSyncSteps().syncDirectory(dir / "missing"));
    testing::writeTestFile(dir / "file", "x");
    EXPECT_FALSE(diskSyncSteps().syncDirectory(dir / "file"));
}

TEST(WriteFileAtomically, FlushesTheContentBeforeTheRenameAndTheDirectoryAfterIt) {
    testing::TempDir dir;
    const std::string target = (dir / "config.json").string();
    ASSERT_TRUE(writeFileAtomically(target, "old"));

    WatchedSync sync;
    sync.target = target;
    ASSERT_TRUE(writeFileAtomically(target, "new", sync));
    EXPECT_EQ(sync.steps, (std::vector<std::string>{"file, target 'old'", "directory " + dir.str() + ", target 'new'"}));

    // A flush that fails is a failed write: the old content stays and no temporary is left.
    WatchedSync failing;
    failing.target = target;
    failing.failFile = true;
    ::testing::internal::CaptureStderr();
    EXPECT_FALSE(writeFileAtomically(target, "newer", failing));
    const std::string err = ::testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find(" Failed to write " + target + ": " + std::strerror(EIO)), std::string::npos) << err;
    EXPECT_EQ(failing.steps, std::vector<std::string>{"file, target 'new'"});
    EXPECT_EQ(readFile(target), "new");
    EXPECT_EQ(entriesOf(dir.path()), std::vector<std::string>{"config.json"});
}

// A real short write: a child process whose files may not grow past 4 KiB (and which ignores
// the signal that limit raises) writes 64 KiB. The write must fail, not rename a cut file.
TEST(WriteFileAtomically, AShortWriteFailsAndKeepsTheOldFile) {
    testing::TempDir dir;
    const std::string target = (dir / "playlist.json").string();
    ASSERT_TRUE(writeFileAtomically(target, "old content"));

    const pid_t child = ::fork();
    ASSERT_GE(child, 0) << std::strerror(errno);
    if (child == 0) {
        const int quiet = ::open("/dev/null", O_WRONLY);
        if (quiet >= 0) ::dup2(quiet, STDERR_FILENO);
        const rlimit limit{4096, 4096};
        ::setrlimit(RLIMIT_FSIZE, &limit);
        ::signal(SIGXFSZ, SIG_IGN);
        const std::string big(64 * 1024, 'x');
        ::_exit(writeFileAtomically(target, big) ? 1 : 0);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status)) << "status " << status;
    EXPECT_EQ(WEXITSTATUS(status), 0) << "the cut write was reported as a success";
    EXPECT_EQ(readFile(target), "old content");
    EXPECT_EQ(entriesOf(dir.path()), std::vector<std::string>{"playlist.json"});
}

TEST(WriteFileAtomically, MissingDirectoryFailsWithOpenLine) {
    testing::TempDir dir;
    const std::string target = (dir / "no-such-dir" / "file").string();
    ::testing::internal::CaptureStderr();
    EXPECT_FALSE(writeFileAtomically(target, "x"));
    const std::string err = ::testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find("[FILE]"), std::string::npos);
    EXPECT_NE(err.find(" Failed to open temporary file for " + target + ": " + std::strerror(ENOENT)),
              std::string::npos);
    EXPECT_FALSE(fs::exists(target));
    if (!colorEnabled()) {
        // Without colour the line starts with the bare tag and holds no escape byte at all.
        EXPECT_EQ(err.rfind("[FILE]", 0), 0u);
        EXPECT_EQ(err.find('\x1b'), std::string::npos);
    }
}

TEST(WriteFileAtomically, FailedRenameRemovesTemporaryAndKeepsTarget) {
    testing::TempDir dir;
    // A non-empty directory in the target's place makes the rename fail after the data was written.
    const fs::path target = dir / "occupied";
    fs::create_directories(target / "inside");
    ::testing::internal::CaptureStderr();
    EXPECT_FALSE(writeFileAtomically(target.string(), "payload"));
    const std::string err = ::testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find(" Failed to write " + target.string() + ": "), std::string::npos);
    EXPECT_EQ(entriesOf(dir.path()), std::vector<std::string>{"occupied"});
    EXPECT_TRUE(fs::is_directory(target / "inside"));
}

TEST(WriteFileAtomically, TemporaryNamesAreUniquePerCall) {
    EXPECT_EQ(temporaryFileName("config.json", 812, 3), "config.json.tmp.812.3");

    testing::TempDir dir;
    const std::string target = (dir / "shared").string();
    std::vector<std::jthread> writers;
    std::atomic<int> failures{0};
    for (int t = 0; t < 8; ++t) {
        writers.emplace_back([&, t] {
            for (int i = 0; i < 50; ++i) {
                if (!writeFileAtomically(target, std::string(1000, static_cast<char>('a' + t)))) ++failures;
            }
        });
    }
    writers.clear();
    EXPECT_EQ(failures.load(), 0);
    // One complete version wins; never a mixture.
    const std::string content = readFile(target);
    ASSERT_EQ(content.size(), 1000u);
    EXPECT_EQ(content, std::string(1000, content[0]));
    EXPECT_EQ(entriesOf(dir.path()).size(), 1u);
}

TEST(WriteFileAtomically, PermissionsFollowUmask) {
    testing::TempDir dir;
    const mode_t old = ::umask(022);
    ASSERT_TRUE(writeFileAtomically((dir / "f").string(), "x"));
    ::umask(old);
    EXPECT_EQ(fs::status(dir / "f").permissions() & fs::perms::all,
              fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read | fs::perms::others_read);
}

TEST(ReadFile, MissingAndPresent) {
    testing::TempDir dir;
    EXPECT_EQ(readFile((dir / "missing").string()), "");
    testing::writeTestFile(dir / "three", "abc");
    EXPECT_EQ(readFile((dir / "three").string()), "abc");
    // A directory opens but cannot be read: it reads as nothing instead of throwing.
    fs::create_directories(dir / "directory" / "inside");
    EXPECT_EQ(readFile((dir / "directory").string()), "");
}

TEST(DecodeBase64, AcceptanceTable) {
    using Bytes = std::vector<std::uint8_t>;
    const struct {
        const char* text;
        Bytes expected;
    } cases[] = {
        {"QQ==", {0x41}},
        {"QQ", {0x41}},
        {" Q Q\n=\t= ", {0x41}},
        {"QUI=", {0x41, 0x42}},
        {"QUI", {0x41, 0x42}},
        {"QUJD", {0x41, 0x42, 0x43}},
        {"AP8=", {0x00, 0xFF}},
        {"+/+/", {0xFB, 0xFF, 0xBF}},
        {"QR==", {}},       // leftover bits not zero
        {"QQ=", {}},        // three characters ending in one pad
        {"QQ==QQ==", {}},   // pad inside the data
        {"-_8=", {}},       // URL-safe alphabet refused
        {"", {}},
        {"Q", {}},
        {"QUJDR", {}},      // length 1 modulo 4
        {"QU=I", {}},       // pad in the middle
        {"QUJ*", {}},
        {"Q===", {}},
    };
    for (const auto& c : cases) EXPECT_EQ(decodeBase64(c.text), c.expected) << '"' << c.text << '"';

    // A longer text round-trips every byte value.
    std::string all = "AAECAwQFBgcICQoLDA0ODxAREhMUFRYXGBkaGxwdHh8gISIjJCUmJygpKissLS4vMDEyMzQ1Njc4OTo7PD0+P0BBQkNERUZHSElKS0xNTk9QUVJTVFVWV1hZWltcXV5fYGFiY2RlZmdoaWprbG1ub3BxcnN0dXZ3eHl6e3x9fn+AgYKDhIWGh4iJiouMjY6PkJGSk5SVlpeYmZqbnJ2en6ChoqOkpaanqKmqq6ytrq+wsbKztLW2t7i5uru8vb6/wMHCw8TFxsfIycrLzM3Oz9DR0tPU1dbX2Nna29zd3t/g4eLj5OXm5+jp6uvs7e7v8PHy8/T19vf4+fr7/P3+/w==";
    auto bytes = decodeBase64(all);
    ASSERT_EQ(bytes.size(), 256u);
    for (int i = 0; i < 256; ++i) EXPECT_EQ(bytes[i], i);
}

TEST(Quoted, EscapesQuotesAndBackslashesAsOneField) {
    std::ostringstream out;
    out << quoted("/tmp/a \"b\"\\c");
    EXPECT_EQ(out.str(), "\"/tmp/a \\\"b\\\"\\\\c\"");

    std::ostringstream padded;
    padded << std::setw(8) << std::setfill('.') << quoted("ab");
    EXPECT_EQ(padded.str(), "....\"ab\"");
}

}  // namespace
}  // namespace lumetta
