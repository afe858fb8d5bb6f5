// The package reader's checks over bytes in memory: archives forged with the sample writer, each
// failing with its own message, in the order the checks come.
#include "package/zip_reader.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <limits>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

#include "assets/sample/zip_writer.h"
#include "package/zip_fixtures.h"

namespace lumetta {
namespace {

using sample::deflateRaw;
using sample::kZipDeflated;
using sample::writeZip;
using sample::ZipWriterEnd;
using sample::ZipWriterEntry;
using sample::zipCrc32;
using Bytes = std::vector<std::uint8_t>;

constexpr std::uint32_t kMiB = 1 << 20;

using lumetta::testing::with;
ZipWriterEntry file(std::string name, std::string content, std::uint16_t method = sample::kZipStored) {
    return lumetta::testing::zipFile(std::move(name), std::move(content), method);
}
ZipWriterEntry directory(std::string name) { return lumetta::testing::zipDirectory(std::move(name)); }
ZipWriterEntry playlist() { return lumetta::testing::zipPlaylist(); }

struct Seen {
    std::string name;
    ZipEntryKind kind;
    std::string content;
    bool operator==(const Seen&) const = default;
};

struct Outcome {
    std::string error;  // empty when the archive was accepted
    std::string playlist;
    std::vector<Seen> entries;
};

Outcome read(std::span<const std::uint8_t> package) {
    Outcome outcome;
    try {
        outcome.playlist = readZipEntries(package, [&](const ZipEntry& entry) {
            outcome.entries.push_back({entry.name, entry.kind, std::string(entry.bytes.begin(), entry.bytes.end())});
        });
    } catch (const std::runtime_error& error) {
        outcome.error = error.what();
        if (outcome.error.empty()) outcome.error = "(empty message)";
    }
    return outcome;
}

std::string failure(std::span<const std::uint8_t> package) { return read(package).error; }

// An archive with a bit of everything: a directory, stored and deflate files, a data
// descriptor, extra fields, an entry comment and an archive comment.
Bytes everyKindOfEntry() {
    return writeZip({directory("media/"),
                     with(file("media/logo.png", "\x89PNG not really", kZipDeflated),
                          [](auto& e) { e.dataDescriptor = true; }),
                     with(file("media/notes.txt", "plain words"), [](auto& e) {
                         e.localExtra = std::string("\x55\x54\x05\x00\x01\x00\x00\x00\x00", 9);
                         e.centralExtra = std::string("\x55\x54\x05\x00\x01\x00\x00\x00\x00", 9);
                         e.entryComment = "about the notes";
                     }),
                     playlist()},
                    {.comment = "made for the tests"});
}

TEST(ZipField, ReadsLittleEndianPairsAndRefusesAnyByteOutside) {
    const Bytes bytes = {0x34, 0x12, 0xFF};
    EXPECT_EQ(readZipField(bytes, 0), 0x1234);
    EXPECT_EQ(readZipField(bytes, 1), 0xFF12);
    constexpr auto max = std::numeric_limits<std::uint64_t>::max();
    for (const std::uint64_t offset : {std::uint64_t{2}, std::uint64_t{3}, std::uint64_t{4}, max - 1, max}) {
        SCOPED_TRACE(offset);
        try {
            readZipField(bytes, offset);
            ADD_FAILURE() << "read past the end";
        } catch (const std::runtime_error& error) {
            EXPECT_STREQ(error.what(), "Truncated ZIP");
        }
    }
    EXPECT_THROW(readZipField({}, 0), std::runtime_error);
}

TEST(ZipField, RequireThrowsItsMessageOnlyWhenTheConditionFails) {
    EXPECT_NO_THROW(require(true, "never"));
    try {
        require(false, "Cannot read x.zip");
        ADD_FAILURE() << "no exception";
    } catch (const std::runtime_error& error) {
        EXPECT_STREQ(error.what(), "Cannot read x.zip");
    }
}

TEST(ZipPath, RefusesNamesThatCouldLeaveTheTargetOrConfuseIt) {
    const std::vector<std::string> unsafe = {
        "", "/", "/etc/passwd", "//a", "a\\b", "..\\evil", "c:evil", "a/b:c", std::string("a\0b", 3),
        std::string("\0", 1), ".", "..", "./a", "../a", "a/./b", "a/../b", "a/.", "a/..", "a/../", "a//..//b",
        ".//a", "a/b/../../.."};
    for (const std::string& name : unsafe) {
        SCOPED_TRACE("name: " + name);
        try {
            checkZipPath(name);
            ADD_FAILURE() << "accepted";
        } catch (const std::runtime_error& error) {
            EXPECT_STREQ(error.what(), "Unsafe ZIP path");
        }
    }
}

TEST(ZipPath, CollapsesRunsOfSlashesAndKeepsEverythingElse) {
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"a", "a"},
        {"a/b", "a/b"},
        {"a//b", "a/b"},
        {"a///b//c/", "a/b/c/"},
        {"a/", "a/"},
        {"a//", "a/"},
        {"...", "..."},
        {"a/.b/..c/.../d.", "a/.b/..c/.../d."},
        {"Media/Logo.PNG", "Media/Logo.PNG"},
        {"caf\xC3\xA9/\xFF\xFE", "caf\xC3\xA9/\xFF\xFE"},  // raw bytes, no conversion
    };
    for (const auto& [name, normal] : cases) EXPECT_EQ(checkZipPath(name), normal) << name;
}

TEST(ZipEndRecord, FindsTheRecordWhoseCommentEndsTheFileAndChecksIt) {
    const std::vector<ZipWriterEntry> one = {playlist()};
    const Bytes valid = writeZip(one);
    const Bytes onlyEndRecord = writeZip({});
    ASSERT_EQ(onlyEndRecord.size(), 22u);

    struct Case {
        const char* what;
        Bytes package;
        std::string message;  // empty: accepted
    };
    const std::vector<Case> cases = {
        {"empty file", {}, "Invalid ZIP"},
        {"21 bytes", Bytes(onlyEndRecord.begin() + 1, onlyEndRecord.end()), "Invalid ZIP"},
        {"22 bytes, no entries", onlyEndRecord, "Invalid ZIP directory or size limit"},
        {"no end record", Bytes(100, 0x50), "ZIP directory not found"},
        {"comment of 0 bytes", valid, ""},
        {"comment of 65,535 bytes", writeZip(one, {.comment = std::string(65'535, 'c')}), ""},
        {"comment holding an end signature", writeZip(one, {.comment = "PK\x05\x06 and more"}), ""},
        {"a byte after the comment", writeZip(one, {.comment = "c", .afterComment = "x"}), "ZIP directory not found"},
        {"a byte after the longest comment",
         writeZip(one, {.comment = std::string(65'535, 'c'), .afterComment = "x"}), "ZIP directory not found"},
        {"comment length past the end", writeZip(one, {.comment = "c", .commentLength = 2}), "ZIP directory not found"},
        {"comment length 65,535 past the end", writeZip(one, {.commentLength = 65'535}), "ZIP directory not found"},
        {"this disk 1", writeZip(one, {.disk = 1}), "Multi-disk ZIP unsupported"},
        {"directory on disk 1", writeZip(one, {.directoryDisk = 1}), "Multi-disk ZIP unsupported"},
        {"entries here differ from total", writeZip(one, {.entriesOnDisk = 2}), "Multi-disk ZIP unsupported"},
        {"0 entries", writeZip(one, {.entriesOnDisk = 0, .totalEntries = 0}), "Invalid ZIP directory or size limit"},
        {"513 entries claimed", writeZip(one, {.entriesOnDisk = 513, .totalEntries = 513}),
         "Invalid ZIP directory or size limit"},
        {"65,535 entries claimed", writeZip(one, {.entriesOnDisk = 65'535, .totalEntries = 65'535}),
         "Invalid ZIP directory or size limit"},
        {"directory one byte short", writeZip(one, {.directorySize = 45 + 13}), "Invalid ZIP directory or size limit"},
        {"directory one byte long", writeZip(one, {.directorySize = 47 + 13}), "Invalid ZIP directory or size limit"},
        {"directory beyond the end record", writeZip(one, {.directoryOffset = 0x7FFF'FFFF}),
         "Invalid ZIP directory or size limit"},
        {"ZIP64 directory offset", writeZip(one, {.directoryOffset = 0xFFFF'FFFF}),
         "Invalid ZIP directory or size limit"},
        {"ZIP64 locator before the end record",
         writeZip(one, {.beforeEnd = std::string("PK\x06\x07", 4) + std::string(16, '\0')}),
         "Invalid ZIP directory or size limit"},
    };
    for (const Case& c : cases) EXPECT_EQ(failure(c.package), c.message) << c.what;
}

TEST(ZipEndRecord, Takes512EntriesAndNoMore) {
    for (const std::size_t count : {std::size_t{512}, std::size_t{513}}) {
        std::vector<ZipWriterEntry> entries = {playlist()};
        while (entries.size() < count) entries.push_back(file("media/" + std::to_string(entries.size()), "x"));
        const Outcome outcome = read(writeZip(entries));
        if (count == 512) {
            EXPECT_EQ(outcome.error, "");
            EXPECT_EQ(outcome.entries.size(), 512u);
        } else {
            EXPECT_EQ(outcome.error, "Invalid ZIP directory or size limit");
            EXPECT_TRUE(outcome.entries.empty());
        }
    }
}

// One forged field per archive; the rest is a sound package.
TEST(ZipEntryChecks, EachForgeryFailsWithItsOwnMessage) {
    const std::string words = "words words words words words";
    const std::string bomb(64 * kMiB, '\0');
    struct Case {
        const char* what;
        std::vector<ZipWriterEntry> entries;
        ZipWriterEnd end = {};
        std::string message;
    };
    const std::vector<Case> cases = {
        {"wrong central signature", {with(playlist(), [](auto& e) { e.centralSignature = 0x02014B51; })}, {},
         "Invalid ZIP entry"},
        {"more entries counted than written", {playlist()}, {.entriesOnDisk = 2, .totalEntries = 2}, "Invalid ZIP entry"},
        {"entry comment overrunning the end record", {with(playlist(), [](auto& e) { e.entryCommentLength = 1; })}, {},
         "Unsupported ZIP entry"},
        {"encrypted", {with(playlist(), [](auto& e) { e.flags = 0x0001; })}, {}, "Unsupported ZIP entry"},
        {"strongly encrypted", {with(playlist(), [](auto& e) { e.flags = 0x0040; })}, {}, "Unsupported ZIP entry"},
        {"masked local header", {with(playlist(), [](auto& e) { e.flags = 0x2000; })}, {}, "Unsupported ZIP entry"},
        {"patched data", {with(playlist(), [](auto& e) { e.flags = 0x0020; })}, {}, "Unsupported ZIP entry"},
        {"starts on disk 1", {with(playlist(), [](auto& e) { e.startDisk = 1; })}, {}, "Unsupported ZIP entry"},
        {"bzip2", {with(playlist(), [](auto& e) { e.method = 12; })}, {}, "Unsupported ZIP entry"},
        {"deflate64", {with(playlist(), [](auto& e) { e.method = 9; })}, {}, "Unsupported ZIP entry"},
        {"parent element", {playlist(), file("../escape", "x")}, {}, "Unsafe ZIP path"},
        {"absolute name", {playlist(), file("/tmp/escape", "x")}, {}, "Unsafe ZIP path"},
        {"backslash", {playlist(), file("..\\escape", "x")}, {}, "Unsafe ZIP path"},
        {"drive letter", {playlist(), file("c:escape", "x")}, {}, "Unsafe ZIP path"},
        {"NUL byte", {playlist(), file(std::string("ok\0../x", 7), "x")}, {}, "Unsafe ZIP path"},
        {"same name twice", {playlist(), file("a", "x"), file("a", "y")}, {}, "Duplicate ZIP entry"},
        {"same name after collapsing", {playlist(), file("a//b", "x"), file("a/b", "y")}, {}, "Duplicate ZIP entry"},
        {"same directory twice", {playlist(), directory("d/"), directory("d//")}, {}, "Duplicate ZIP entry"},
        {"symbolic link", {playlist(), with(file("link", "/etc"), [](auto& e) { e.mode = 0120777; })}, {},
         "ZIP links/special files unsupported"},
        {"symbolic link named as a directory", {playlist(), with(directory("link/"), [](auto& e) { e.mode = 0120777; })},
         {}, "ZIP links/special files unsupported"},
        {"file with directory type", {playlist(), with(file("d", ""), [](auto& e) { e.mode = 040755; })}, {},
         "ZIP links/special files unsupported"},
        {"directory with file type", {playlist(), with(directory("d/"), [](auto& e) { e.mode = 0100644; })}, {},
         "ZIP links/special files unsupported"},
        {"pipe", {playlist(), with(file("p", ""), [](auto& e) { e.mode = 010644; })}, {},
         "ZIP links/special files unsupported"},
        {"character device", {playlist(), with(file("c", ""), [](auto& e) { e.mode = 020644; })}, {},
         "ZIP links/special files unsupported"},
        {"block device", {playlist(), with(file("b", ""), [](auto& e) { e.mode = 060644; })}, {},
         "ZIP links/special files unsupported"},
        {"socket", {playlist(), with(file("s", ""), [](auto& e) { e.mode = 0140755; })}, {},
         "ZIP links/special files unsupported"},
        {"entry one byte over 128 MiB",
         {playlist(), with(file("big", "x"), [](auto& e) { e.uncompressedSize = 128 * kMiB + 1; })}, {},
         "ZIP exceeds extraction size limit"},
        {"ZIP64 sizes", {playlist(), with(file("big", "x"), [](auto& e) {
                              e.uncompressedSize = 0xFFFF'FFFF;
                              e.compressedSize = 0xFFFF'FFFF;
                          })},
         {}, "ZIP exceeds extraction size limit"},
        {"wrong local signature", {with(playlist(), [](auto& e) { e.localSignature = 0x04034B51; })}, {},
         "Invalid ZIP local header"},
        {"local flags differ", {with(playlist(), [](auto& e) { e.localFlags = 0x0002; })}, {}, "Invalid ZIP local header"},
        {"local method differs", {with(playlist(), [](auto& e) { e.localMethod = 0; })}, {}, "Invalid ZIP local header"},
        {"local header inside the directory", {with(playlist(), [](auto& e) { e.localOffset = 0x1000; })}, {},
         "Invalid ZIP local header"},
        {"local header one byte too close to the directory",
         {file("playlist.json", "{}"), with(file("a", "x"), [](auto& e) { e.localOffset = 45 + 32; })},
         {.beforeDirectory = std::string("PK\x03\x04", 4) + std::string(25, '\0')}, "Invalid ZIP local header"},
        {"data running into the directory", {with(file("playlist.json", "{}"), [](auto& e) { e.compressedSize = 3; })},
         {}, "Invalid ZIP data bounds"},
        {"local extra field running into the directory",
         {with(file("playlist.json", "{}"), [](auto& e) { e.localExtraLength = 3; })}, {}, "Invalid ZIP data bounds"},
        {"local name differs in a byte", {with(playlist(), [](auto& e) { e.localName = "playlist.jsoN"; })}, {},
         "ZIP filename mismatch"},
        {"local name longer", {with(playlist(), [](auto& e) { e.localName = "playlist.json2"; })}, {},
         "ZIP filename mismatch"},
        {"two central entries naming one local header",
         {playlist(), with(playlist(), [](auto& e) {
              e.name = "other.json";
              e.localHeaderOf = 0;
          })},
         {}, "ZIP filename mismatch"},
        {"directory with data", {playlist(), with(directory("d/"), [](auto& e) { e.content = "abc"; })}, {},
         "Invalid ZIP directory"},
        {"deflate data that is no deflate stream",
         {with(playlist(), [](auto& e) { e.data = std::string(20, '\xFF'); })}, {}, "Invalid ZIP compressed data"},
        {"deflate yielding one byte more than declared",
         {with(file("playlist.json", words, kZipDeflated), [&](auto& e) {
             e.uncompressedSize = static_cast<std::uint32_t>(words.size() - 1);
             e.crc = zipCrc32(std::string_view(words).substr(0, words.size() - 1));
         })},
         {}, "Invalid ZIP compressed data"},
        {"deflate yielding one byte less than declared",
         {with(file("playlist.json", words, kZipDeflated),
               [&](auto& e) { e.uncompressedSize = static_cast<std::uint32_t>(words.size() + 1); })},
         {}, "Invalid ZIP compressed data"},
        {"deflate stream ending before its data",
         {with(file("playlist.json", words, kZipDeflated), [&](auto& e) { e.data = deflateRaw(words) + std::string(1, '\0'); })}, {},
         "Invalid ZIP compressed data"},
        {"deflate stream cut short", {with(file("playlist.json", words, kZipDeflated), [&](auto& e) {
             const std::string whole = deflateRaw(words);
             e.data = whole.substr(0, whole.size() - 1);
         })},
         {}, "Invalid ZIP compressed data"},
        {"64 MiB bomb declared as 1,000 bytes", {playlist(), with(file("bomb", "", kZipDeflated), [&](auto& e) {
                                                     e.data = deflateRaw(bomb, 9);
                                                     e.uncompressedSize = 1000;
                                                 })},
         {}, "Invalid ZIP compressed data"},
        {"stored sizes differ", {with(file("playlist.json", "{}"), [](auto& e) { e.uncompressedSize = 1; })}, {},
         "Invalid stored ZIP size"},
        {"stored CRC wrong", {with(file("playlist.json", "{}"), [](auto& e) { e.crc = zipCrc32("{]"); })}, {},
         "ZIP CRC mismatch"},
        {"deflate CRC wrong", {with(playlist(), [](auto& e) { e.crc = 0; })}, {}, "ZIP CRC mismatch"},
        {"empty file with a CRC", {playlist(), with(file("empty", ""), [](auto& e) { e.crc = 1; })}, {},
         "ZIP CRC mismatch"},
        {"second playlist in a subdirectory", {playlist(), file("sub/playlist.json", "{}")}, {},
         "ZIP contains multiple playlists"},
        {"no playlist", {file("package.json", "{}")}, {}, "ZIP must contain exactly one playlist.json"},
        {"only candidate differs in case", {file("Playlist.json", "{}")}, {},
         "ZIP must contain exactly one playlist.json"},
        {"only candidate is a directory", {directory("playlist.json/")}, {}, "ZIP must contain exactly one playlist.json"},
        {"only candidate has a prefix", {file("my-playlist.json", "{}")}, {},
         "ZIP must contain exactly one playlist.json"},
        {"a header left over in the directory", {playlist(), file("left-over", "x")},
         {.entriesOnDisk = 1, .totalEntries = 1}, "ZIP must contain exactly one playlist.json"},
    };
    for (const Case& c : cases) EXPECT_EQ(failure(writeZip(c.entries, c.end)), c.message) << c.what;
}

// An entry that breaks two rules fails on the check that comes first.
TEST(ZipEntryChecks, TheEarlierCheckSpeaks) {
    auto twice = [](auto first, auto second) {
        return with(playlist(), [&](auto& e) {
            first(e);
            second(e);
        });
    };
    auto badEnd = [](auto& e) { e.entryCommentLength = 1; };
    auto unsafe = [](auto& e) { e.name = "../playlist.json"; };
    auto symlink = [](auto& e) { e.mode = 0120777; };
    auto huge = [](auto& e) { e.uncompressedSize = 128 * kMiB + 1; };
    auto badLocal = [](auto& e) { e.localSignature = 0; };
    auto intoDirectory = [](auto& e) { e.compressedSize = 1000; };
    auto otherLocalName = [](auto& e) { e.localName = "playlist.jsoN"; };
    auto badData = [](auto& e) { e.data = std::string(e.data ? e.data->size() : 8, '\xFF'); };
    auto badCrc = [](auto& e) { e.crc = 1; };
    struct Case {
        const char* what;
        std::vector<ZipWriterEntry> entries;
        ZipWriterEnd end;
        std::string message;
    };
    const std::vector<Case> cases = {
        {"multi-disk before a bad count", {playlist()}, {.disk = 1, .entriesOnDisk = 0, .totalEntries = 0},
         "Multi-disk ZIP unsupported"},
        {"bad count before a bad entry", {with(playlist(), [](auto& e) { e.centralSignature = 0; })},
         {.entriesOnDisk = 600, .totalEntries = 600}, "Invalid ZIP directory or size limit"},
        {"bad signature before an unsupported entry",
         {with(playlist(), [](auto& e) {
             e.centralSignature = 0;
             e.flags = 1;
         })},
         {}, "Invalid ZIP entry"},
        {"unsupported before unsafe", {twice(badEnd, unsafe)}, {}, "Unsupported ZIP entry"},
        {"unsafe before a link", {twice(unsafe, symlink)}, {}, "Unsafe ZIP path"},
        {"duplicate before a link", {playlist(), twice(symlink, [](auto&) {})}, {}, "Duplicate ZIP entry"},
        {"link before too large", {twice(symlink, huge)}, {}, "ZIP links/special files unsupported"},
        {"too large before the local header", {twice(huge, badLocal)}, {}, "ZIP exceeds extraction size limit"},
        {"local header before the data bounds", {twice(badLocal, intoDirectory)}, {}, "Invalid ZIP local header"},
        {"data bounds before the name", {twice(intoDirectory, otherLocalName)}, {}, "Invalid ZIP data bounds"},
        {"name before the directory size",
         {playlist(), with(directory("d/"), [](auto& e) {
              e.content = "abc";
              e.localName = "e/";
          })},
         {}, "ZIP filename mismatch"},
        {"compressed data before the CRC", {twice(badData, badCrc)}, {}, "Invalid ZIP compressed data"},
        {"stored size before the CRC",
         {with(file("playlist.json", "{}"), [](auto& e) {
             e.uncompressedSize = 1;
             e.crc = 7;
         })},
         {}, "Invalid stored ZIP size"},
        {"CRC before a second playlist", {playlist(), with(file("sub/playlist.json", "{}"), badCrc)}, {},
         "ZIP CRC mismatch"},
        {"multiple playlists before a left-over header", {playlist(), file("a/playlist.json", "{}"), file("x", "x")},
         {.entriesOnDisk = 2, .totalEntries = 2}, "ZIP contains multiple playlists"},
    };
    for (const Case& c : cases) EXPECT_EQ(failure(writeZip(c.entries, c.end)), c.message) << c.what;
}

TEST(ZipEntries, SoundArchivesReachTheSinkInDirectoryOrder) {
    const std::string longName = std::string(65'535 - 14, 'n') + "/playlist.json";
    const std::string words(5000, 'w');
    struct Case {
        const char* what;
        std::vector<ZipWriterEntry> entries;
        std::string playlist;
        std::vector<Seen> seen;
    };
    const std::vector<Case> cases = {
        {"every kind of entry",
         {directory("media/"),
          with(file("media/logo.png", "\x89PNG", kZipDeflated), [](auto& e) { e.dataDescriptor = true; }),
          with(file("media/notes.txt", "plain"), [](auto& e) {
              e.localExtra = "extra";
              e.centralExtra = "other extra";
              e.entryComment = "comment";
          }),
          file("playlist.json", words, kZipDeflated)},
         "playlist.json",
         {{"media/", ZipEntryKind::Directory, ""},
          {"media/logo.png", ZipEntryKind::File, "\x89PNG"},
          {"media/notes.txt", ZipEntryKind::File, "plain"},
          {"playlist.json", ZipEntryKind::File, words}}},
        {"playlist in a subdirectory, names collapsed",
         {directory("show//"), file("show//playlist.json", "{}"), file("show/a//b", "b")},
         "show/playlist.json",
         {{"show/", ZipEntryKind::Directory, ""},
          {"show/playlist.json", ZipEntryKind::File, "{}"},
          {"show/a/b", ZipEntryKind::File, "b"}}},
        {"names that differ in case only", {playlist(), file("a", "1"), file("A", "2")}, "playlist.json",
         {{"playlist.json", ZipEntryKind::File, R"({"slides":[]})"},
          {"a", ZipEntryKind::File, "1"},
          {"A", ZipEntryKind::File, "2"}}},
        {"no type recorded, empty files stored and deflated, flags 1, 2, 3 and 11",
         {with(directory("d/"), [](auto& e) { e.mode = 0755; }), with(file("e", ""), [](auto& e) { e.mode = 0644; }),
          file("z", "", kZipDeflated), with(file("playlist.json", "{}"), [](auto& e) { e.flags = 0x80E; })},
         "playlist.json",
         {{"d/", ZipEntryKind::Directory, ""},
          {"e", ZipEntryKind::File, ""},
          {"z", ZipEntryKind::File, ""},
          {"playlist.json", ZipEntryKind::File, "{}"}}},
        {"a name of 65,535 bytes", {file(longName, "{}")}, std::string(65'535 - 14, 'n') + "/playlist.json",
         {{longName, ZipEntryKind::File, "{}"}}},
    };
    for (const Case& c : cases) {
        const Outcome outcome = read(writeZip(c.entries, {.comment = "comment"}));
        EXPECT_EQ(outcome.error, "") << c.what;
        EXPECT_EQ(outcome.playlist, c.playlist) << c.what;
        EXPECT_EQ(outcome.entries, c.seen) << c.what;
    }
}

// Real data up to the limits: 128 MiB entries are accepted until their sum reaches exactly
// 512 MiB, and the next byte declared fails before its data is looked at.
TEST(ZipEntries, EntriesUpToTheLimitsPassAndOneByteMoreFails) {
    ZipWriterEntry full = file("", "", kZipDeflated);
    {
        const std::string zeros(128 * kMiB, '\0');
        full.data = deflateRaw(zeros);
        full.crc = zipCrc32(zeros);
        full.uncompressedSize = 128 * kMiB;
    }
    std::vector<ZipWriterEntry> entries = {file("playlist.json", "")};
    for (int i = 0; i < 4; ++i) entries.push_back(with(full, [&](auto& e) { e.name = "part" + std::to_string(i); }));
    entries.push_back(file("one-more", "x"));

    std::size_t accepted = 0;
    std::uint64_t bytes = 0;
    try {
        readZipEntries(writeZip(entries), [&](const ZipEntry& entry) {
            ++accepted;
            bytes += entry.bytes.size();
        });
        ADD_FAILURE() << "accepted more than 512 MiB";
    } catch (const std::runtime_error& error) {
        EXPECT_STREQ(error.what(), "ZIP exceeds extraction size limit");
    }
    EXPECT_EQ(accepted, 5u);
    EXPECT_EQ(bytes, 512u * kMiB);
}

// Whatever is cut off or changed, the answer is one of the messages (or a sound archive whose
// names stay inside), never a crash or a read outside the bytes.
TEST(ZipHostile, EveryCutAndEveryChangedByteGivesAMessage) {
    const Bytes valid = everyKindOfEntry();
    ASSERT_EQ(failure(valid), "");
    for (std::size_t length = 0; length < valid.size(); ++length) {
        const std::string error = failure(std::span(valid).first(length));
        EXPECT_TRUE(lumetta::testing::zipArchiveMessages().contains(error)) << "cut at " << length << ": " << error;
    }
    for (std::size_t at = 0; at < valid.size(); ++at) {
        for (const std::uint8_t flip : {0x01, 0x80, 0xFF}) {
            Bytes changed = valid;
            changed[at] ^= flip;
            const Outcome outcome = read(changed);
            if (!outcome.error.empty()) {
                EXPECT_TRUE(lumetta::testing::zipArchiveMessages().contains(outcome.error)) << "byte " << at << ": " << outcome.error;
                continue;
            }
            for (const Seen& seen : outcome.entries) {
                EXPECT_EQ(checkZipPath(seen.name), seen.name) << "byte " << at;
            }
        }
    }
}

}  // namespace
}  // namespace lumetta
