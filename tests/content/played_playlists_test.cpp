#include "content/played_playlists.h"

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <set>
#include <string>

#include "core/file_utils.h"
#include "support/manual_clock.h"
#include "support/temp_dir.h"

namespace lumetta {
namespace {

namespace fs = std::filesystem;
using testing::ManualClock;
using testing::TempDir;
using testing::writeTestFile;

const std::string header = "# boot_seconds\taccount\tbranch\tplaylist\n";

// A clock whose seconds since boot read `seconds`.
struct BootClock {
    explicit BootClock(std::int64_t seconds) : clock(0, seconds * 1000) {}
    void advanceSeconds(std::int64_t seconds) { clock.advance(seconds * 1000); }
    ManualClock clock;
};

TEST(PlayedPlaylists, FirstShowingCreatesDirectoryMarkerAndFile) {
    TempDir temp;
    const fs::path directory = temp / "run/lumetta";
    BootClock boot(5000);
    PlayedPlaylistsRecord record(directory, boot.clock);

    EXPECT_TRUE(record.record("acme", "main", "Lobby"));
    EXPECT_EQ(readFile(record.markerPath()), "5000\n");
    EXPECT_EQ(readFile(record.filePath()), header + "5000\tacme\tmain\tLobby\n");
    EXPECT_FALSE(fs::exists(record.filePath().string() + ".tmp." + std::to_string(::getpid())));

    // The marker says when the record was first used; later showings leave it alone.
    boot.advanceSeconds(7200);
    EXPECT_TRUE(record.record("acme", "main", "Hall"));
    EXPECT_EQ(readFile(record.markerPath()), "5000\n");
    EXPECT_EQ(readFile(record.filePath()), header + "12200\tacme\tmain\tHall\n5000\tacme\tmain\tLobby\n");
}

TEST(PlayedPlaylists, AnExistingMarkerIsKept) {
    TempDir temp;
    writeTestFile(temp / "played-playlists.boot", "earlier\n");
    BootClock boot(5000);
    PlayedPlaylistsRecord record(temp.path(), boot.clock);
    EXPECT_TRUE(record.record("a", "b", "c"));
    EXPECT_EQ(readFile(record.markerPath()), "earlier\n");
}

TEST(PlayedPlaylists, EmptyArgumentsTouchNothing) {
    TempDir temp;
    BootClock boot(5000);
    PlayedPlaylistsRecord record(temp / "lumetta", boot.clock);
    EXPECT_FALSE(record.record("", "b", "c"));
    EXPECT_FALSE(record.record("a", "", "c"));
    EXPECT_FALSE(record.record("a", "b", ""));
    EXPECT_FALSE(fs::exists(temp / "lumetta"));
}

// What survives loading an older file, written back by the next showing (of "z\tz\tz").
TEST(PlayedPlaylists, LoadingKeepsGoodLinesAndDropsTheRest) {
    const std::int64_t now = 2'592'100;
    const std::string old =
        "# boot_seconds\taccount\tbranch\tplaylist\n"
        "\n"
        "#100\tcomment\tlooking\tline\n"
        "no tab here\n"
        "100\tkeep\tat\tthirty days\n"           // age exactly 30 days: stays
        "99\tdrop\ttoo\told\n"                   // one second older: dropped
        "0\tdrop\tzero\tx\n"
        "-4\tdrop\tnegative\tx\n"
        "2592101\tdrop\tfuture\tx\n"
        "x12\tdrop\tno number\tx\n"
        "\tdrop\tempty number\tx\n"
        "99999999999999999999\tdrop\tout of range\tx\n"
        "+5000\tplus\tsign\tx\n"
        " 7000x\tspace\tand\ttail\n"
        "3000\tdup\tkey\tx\n"
        "4000\tdup\tkey\tx\n"                    // the later line wins
        "6000\tcarriage\treturn\tx\r\n";         // the return stays part of the key
    TempDir temp;
    writeTestFile(temp / "played-playlists.tsv", old);
    BootClock boot(now);
    PlayedPlaylistsRecord record(temp.path(), boot.clock);
    EXPECT_TRUE(record.record("z", "z", "z"));
    EXPECT_EQ(readFile(record.filePath()), header +
                                               "6000\tcarriage\treturn\tx\r\n"
                                               "4000\tdup\tkey\tx\n"
                                               "100\tkeep\tat\tthirty days\n"
                                               "5000\tplus\tsign\tx\n"
                                               "7000\tspace\tand\ttail\n"
                                               "2592100\tz\tz\tz\n");
}

TEST(PlayedPlaylists, ShowingAgainWithinAnHourDoesNotRewrite) {
    TempDir temp;
    BootClock boot(10'000);
    PlayedPlaylistsRecord record(temp.path(), boot.clock);
    ASSERT_TRUE(record.record("a", "b", "c"));
    const std::string first = header + "10000\ta\tb\tc\n";

    boot.advanceSeconds(3599);
    fs::remove(record.filePath());  // a rewrite would bring it back
    EXPECT_TRUE(record.record("a", "b", "c"));
    EXPECT_FALSE(fs::exists(record.filePath()));

    boot.advanceSeconds(1);  // 3,600 s after the recorded time
    EXPECT_TRUE(record.record("a", "b", "c"));
    EXPECT_EQ(readFile(record.filePath()), header + "13600\ta\tb\tc\n");
}

TEST(PlayedPlaylists, EntriesOlderThanThirtyDaysLeaveAtTheNextRewrite) {
    TempDir temp;
    BootClock boot(1000);
    PlayedPlaylistsRecord record(temp.path(), boot.clock);
    ASSERT_TRUE(record.record("old", "b", "c"));
    boot.advanceSeconds(2'592'000);
    ASSERT_TRUE(record.record("new", "b", "c"));
    EXPECT_EQ(readFile(record.filePath()), header + "2593000\tnew\tb\tc\n1000\told\tb\tc\n");
    boot.advanceSeconds(1);
    ASSERT_TRUE(record.record("newer", "b", "c"));
    EXPECT_EQ(readFile(record.filePath()), header + "2593000\tnew\tb\tc\n2593001\tnewer\tb\tc\n");
}

TEST(PlayedPlaylists, LinesAreSortedByteWise) {
    TempDir temp;
    BootClock boot(9000);
    PlayedPlaylistsRecord record(temp.path(), boot.clock);
    for (const char* account : {"b", "ab", "a", "B", "\xc3\xa9", "a b"}) ASSERT_TRUE(record.record(account, "x", "y"));
    EXPECT_EQ(readFile(record.filePath()), header +
                                               "9000\tB\tx\ty\n"
                                               "9000\ta\tx\ty\n"  // "a\t..." sorts before "a b" (tab < space)
                                               "9000\ta b\tx\ty\n"
                                               "9000\tab\tx\ty\n"
                                               "9000\tb\tx\ty\n"
                                               "9000\t\xc3\xa9\tx\ty\n");
}

TEST(PlayedPlaylists, FailuresReturnFalseAndTheNextCallRecovers) {
    TempDir temp;
    BootClock boot(9000);

    // The directory cannot be made: nothing is loaded, and the next call starts again.
    writeTestFile(temp / "blocked", "a file where the directory should be");
    PlayedPlaylistsRecord blocked(temp / "blocked", boot.clock);
    EXPECT_FALSE(blocked.record("a", "b", "c"));
    fs::remove(temp / "blocked");
    EXPECT_TRUE(blocked.record("a", "b", "c"));
    EXPECT_EQ(readFile(blocked.filePath()), header + "9000\ta\tb\tc\n");

    // The file cannot be replaced: the record keeps the entry and the next rewrite carries it.
    const fs::path directory = temp / "stuck";
    fs::create_directories(directory / "played-playlists.tsv");
    PlayedPlaylistsRecord stuck(directory, boot.clock);
    EXPECT_FALSE(stuck.record("first", "b", "c"));
    fs::remove(directory / "played-playlists.tsv");
    EXPECT_TRUE(stuck.record("second", "b", "c"));
    EXPECT_EQ(readFile(stuck.filePath()), header + "9000\tfirst\tb\tc\n9000\tsecond\tb\tc\n");
    EXPECT_EQ(std::distance(fs::directory_iterator(directory), fs::directory_iterator()), 2);  // file and marker
}

// A real short write: a child process whose files may not grow past 4 KiB (and which ignores the
// signal that limit raises) rewrites a record of about 10 KiB. A rewrite in place would leave the
// record cut off at the limit; the old record must stay whole.
TEST(PlayedPlaylists, ARewriteCutShortLeavesThePreviousRecordWhole) {
    TempDir temp;
    std::string old = header;
    for (int i = 0; i < 300; ++i) old += "50000\tacme\tmain\tplaylist number " + std::to_string(i) + "\n";
    ASSERT_GT(old.size(), 8192u);
    writeTestFile(temp / "played-playlists.tsv", old);
    writeTestFile(temp / "played-playlists.boot", "40000\n");

    const pid_t child = ::fork();
    ASSERT_GE(child, 0) << std::strerror(errno);
    if (child == 0) {
        const rlimit limit{4096, 4096};
        ::setrlimit(RLIMIT_FSIZE, &limit);
        ::signal(SIGXFSZ, SIG_IGN);
        BootClock boot(100'000);
        PlayedPlaylistsRecord record(temp.path(), boot.clock);
        ::_exit(record.record("acme", "main", "Lobby") ? 1 : 0);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status)) << "status " << status;
    EXPECT_EQ(WEXITSTATUS(status), 0) << "the cut rewrite was reported as a success";
    const std::string record = readFile((temp / "played-playlists.tsv").string());
    EXPECT_TRUE(record == old) << "the record now holds " << record.size() << " bytes, not the " << old.size()
                               << " it held";
    EXPECT_EQ(readFile((temp / "played-playlists.boot").string()), "40000\n");
    // Beside them at most the child's own temporary file, never read as the record.
    const std::set<std::string> allowed = {"played-playlists.tsv", "played-playlists.boot",
                                           "played-playlists.tsv.tmp." + std::to_string(child)};
    for (const auto& entry : fs::directory_iterator(temp.path())) {
        EXPECT_TRUE(allowed.contains(entry.path().filename().string())) << entry.path();
    }
}

}  // namespace
}  // namespace lumetta
