// Extraction of playlist packages onto the disk: an archive made by Info-ZIP, permissions,
// hostile archives that must leave everything outside the target alone, and the file system's
// own refusals.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <map>
#include <stdexcept>
#include <string>
#include <vector>

#include "assets/sample/zip_writer.h"
#include "package/zip_fixtures.h"
#include "package/zip_reader.h"
#include "support/subprocess.h"
#include "support/temp_dir.h"

namespace lumetta {
namespace {

namespace fs = std::filesystem;
using lumetta::testing::runProcess;
using lumetta::testing::TempDir;
using lumetta::testing::writeTestFile;
using sample::kZipDeflated;
using sample::writeZip;
using sample::ZipWriterEntry;
using Bytes = std::vector<std::uint8_t>;

using lumetta::testing::with;
ZipWriterEntry file(std::string name, std::string content, std::uint16_t method = sample::kZipStored) {
    return lumetta::testing::zipFile(std::move(name), std::move(content), method);
}
ZipWriterEntry directory(std::string name) { return lumetta::testing::zipDirectory(std::move(name)); }
ZipWriterEntry playlist() { return lumetta::testing::zipPlaylist(); }

fs::path writePackage(const fs::path& path, const Bytes& bytes) {
    std::ofstream out(path, std::ios::binary);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    return path;
}

std::string readWhole(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

// Every path beneath `root` (relative, directories with a trailing "/") with its content, and
// whether anything in it is neither a plain file nor a directory.
std::map<std::string, std::string> tree(const fs::path& root) {
    std::map<std::string, std::string> found;
    for (const auto& item : fs::recursive_directory_iterator(root)) {
        const std::string relative = item.path().lexically_relative(root).string();
        if (item.is_symlink()) found[relative] = "(link)";
        else if (item.is_directory()) found[relative + "/"] = "";
        else if (item.is_regular_file()) found[relative] = readWhole(item.path());
        else found[relative] = "(special)";
    }
    return found;
}

std::string extractionError(const fs::path& package, const fs::path& target) {
    try {
        extractZipPackage(package, target);
    } catch (const std::exception& error) {
        return error.what();
    }
    return "";
}

TEST(ZipExtract, AnInfoZipArchiveWithDataDescriptorsAndANestedPlaylistComesOutWhole) {
    TempDir dir;
    const fs::path source = dir / "source";
    std::string picture(300'000, '\0');
    for (std::size_t i = 0; i < picture.size(); ++i) picture[i] = static_cast<char>(i * 7919 >> 3);
    const std::map<std::string, std::string> files = {
        {"show/playlist.json", R"({"slides":[{"duration":10}]})"},
        {"show/package.json", R"({"name":"lobby"})"},
        {"show/media/picture.bin", picture},
        {"show/media/empty.txt", ""},
    };
    for (const auto& [name, content] : files) writeTestFile(source / name, content);
    fs::create_directories(source / "show/unused");

    // Written to a pipe, zip cannot seek back and puts each entry's sizes in a data descriptor.
    lumetta::testing::ProcessOptions inSource;
    inSource.workingDirectory = source.string();
    const auto zip = runProcess({"zip", "-r", "-q", "-", "show"}, inSource);
    ASSERT_EQ(zip.exitStatus, 0) << zip.err;
    ASSERT_NE(zip.out.find("PK\x07\x08"), std::string::npos) << "no data descriptor";
    const fs::path package = writePackage(dir / "made-by-zip.zip", Bytes(zip.out.begin(), zip.out.end()));

    const fs::path target = dir / "target";
    fs::create_directory(target);
    EXPECT_EQ(extractZipPackage(package, target), target / "show/playlist.json");

    std::map<std::string, std::string> expected = {
        {"show/", ""}, {"show/media/", ""}, {"show/unused/", ""}};
    expected.insert(files.begin(), files.end());
    EXPECT_EQ(tree(target), expected);
}

TEST(ZipExtract, EntriesGetTheProcessDefaultPermissionsNotTheArchives) {
    TempDir dir;
    const fs::path target = dir / "target";
    fs::create_directory(target);
    const fs::path package = writePackage(
        dir / "p.zip", writeZip({with(directory("locked/"), [](auto& e) { e.mode = 040000; }),
                                 with(directory("open/"), [](auto& e) { e.mode = 040777; }),
                                 with(file("locked/secret", "s"), [](auto& e) { e.mode = 0100000; }),
                                 with(file("open/tool", "#!/bin/sh\n"), [](auto& e) { e.mode = 0104777; }),
                                 with(file("deep/er/playlist.json", "{}"), [](auto& e) { e.mode = 0100600; })}));
    EXPECT_EQ(extractZipPackage(package, target), target / "deep/er/playlist.json");

    const fs::path plainFile = writeTestFile(dir / "plain", "");
    fs::create_directory(dir / "plain-dir");
    const fs::perms filePerms = fs::status(plainFile).permissions();
    const fs::perms directoryPerms = fs::status(dir / "plain-dir").permissions();
    for (const char* name : {"locked", "open", "deep", "deep/er"}) {
        EXPECT_EQ(fs::status(target / name).permissions(), directoryPerms) << name;
    }
    for (const char* name : {"locked/secret", "open/tool", "deep/er/playlist.json"}) {
        EXPECT_EQ(fs::status(target / name).permissions(), filePerms) << name;
    }
}

// Each archive tries to reach outside the target; afterwards everything outside it is as it
// was and nothing inside is a link or a special file.
TEST(ZipExtract, HostileArchivesWriteNothingOutsideTheTarget) {
    TempDir dir;
    const fs::path outside = dir / "outside";
    writeTestFile(outside / "keep", "kept");
    const std::string absolute = (outside / "escaped").string();
    struct Case {
        const char* what;
        std::vector<ZipWriterEntry> entries;
        std::string message;
    };
    const std::vector<Case> cases = {
        {"parent element", {playlist(), file("../outside/escaped", "x")}, "Unsafe ZIP path"},
        {"parent element deeper", {playlist(), file("a/../../outside/escaped", "x")}, "Unsafe ZIP path"},
        {"absolute name", {playlist(), file(absolute, "x")}, "Unsafe ZIP path"},
        {"backslashes", {playlist(), file("..\\outside\\escaped", "x")}, "Unsafe ZIP path"},
        {"NUL cutting the name short", {playlist(), file(std::string("a\0/../../outside/escaped", 24), "x")},
         "Unsafe ZIP path"},
        {"link then a file through it",
         {playlist(), with(file("link", outside.string()), [](auto& e) { e.mode = sample::kZipSymbolicLink; }),
          file("link/escaped", "x")},
         "ZIP links/special files unsupported"},
        {"link written as a directory",
         {playlist(), with(directory("link/"), [](auto& e) { e.mode = sample::kZipSymbolicLink; }),
          file("link/escaped", "x")},
         "ZIP links/special files unsupported"},
        {"device", {playlist(), with(file("null", ""), [](auto& e) { e.mode = 020666; })},
         "ZIP links/special files unsupported"},
        {"one name spelled twice", {file("a//x", "1"), file("a/x", "2"), playlist()}, "Duplicate ZIP entry"},
        {"bomb", {playlist(), with(file("bomb", std::string(1 << 20, 'b'), kZipDeflated), [](auto& e) {
                      e.uncompressedSize = 10;
                  })},
         "Invalid ZIP compressed data"},
        {"data lying about its CRC", {playlist(), with(file("x", "abc"), [](auto& e) { e.crc = 0; })},
         "ZIP CRC mismatch"},
        {"two playlists", {playlist(), file("a/playlist.json", "{}")}, "ZIP contains multiple playlists"},
    };
    const auto before = tree(dir.path());
    int round = 0;
    for (const Case& c : cases) {
        const fs::path target = dir / ("target-" + std::to_string(round++));
        fs::create_directory(target);
        const fs::path package = writePackage(dir / "hostile.zip", writeZip(c.entries));
        EXPECT_EQ(extractionError(package, target), c.message) << c.what;
        fs::remove(package);
        for (const auto& [name, content] : tree(target)) {
            EXPECT_NE(content, "(link)") << c.what << ": " << name;
            EXPECT_NE(content, "(special)") << c.what << ": " << name;
        }
        fs::remove_all(target);
        EXPECT_EQ(tree(dir.path()), before) << c.what;
    }
}

TEST(ZipExtract, WhatTheFileSystemRefusesFailsWithItsOwnErrorAndEarlierEntriesStay) {
    TempDir dir;
    struct Case {
        const char* what;
        std::vector<ZipWriterEntry> entries;
        bool fileSystemError;  // else "Cannot extract ZIP file"
        std::map<std::string, std::string> left;
    };
    const std::vector<Case> cases = {
        {"a file, then a file beneath it", {file("a", "1"), file("a/b", "2"), playlist()}, true, {{"a", "1"}}},
        {"a file, then a directory of that name", {file("a", "1"), directory("a/"), playlist()}, true, {{"a", "1"}}},
        {"a directory, then a file of that name", {directory("a/"), file("a", "1"), playlist()}, false, {{"a/", ""}}},
    };
    for (const Case& c : cases) {
        const fs::path target = dir / "target";
        fs::create_directory(target);
        const fs::path package = writePackage(dir / "p.zip", writeZip(c.entries));
        try {
            extractZipPackage(package, target);
            ADD_FAILURE() << c.what << ": accepted";
        } catch (const fs::filesystem_error& error) {
            EXPECT_TRUE(c.fileSystemError) << c.what << ": " << error.what();
        } catch (const std::runtime_error& error) {
            EXPECT_FALSE(c.fileSystemError) << c.what;
            EXPECT_STREQ(error.what(), "Cannot extract ZIP file") << c.what;
        }
        EXPECT_EQ(tree(target), c.left) << c.what;
        fs::remove_all(target);
    }
}

TEST(ZipExtract, PackageFilesAreReadWholeOrRefused) {
    TempDir dir;
    const Bytes sound = writeZip({playlist()});
    const fs::path package = writePackage(dir / "p.zip", sound);
    EXPECT_EQ(readPackageFile(package), sound);
    EXPECT_TRUE(readPackageFile(writePackage(dir / "empty.zip", {})).empty());

    // A missing file and a directory fail in the size query, with the file system's error.
    EXPECT_THROW(readPackageFile(dir / "missing.zip"), fs::filesystem_error);
    EXPECT_THROW(readPackageFile(dir.path()), fs::filesystem_error);

    // One byte over the limit is refused from its size alone: a sparse file, never read.
    const fs::path huge = dir / "huge.zip";
    writePackage(huge, {});
    fs::resize_file(huge, kPackageSizeLimit + 1);
    const fs::path target = dir / "target";
    fs::create_directory(target);
    for (const auto& attempt : {std::function<void()>([&] { readPackageFile(huge); }),
                                std::function<void()>([&] { extractZipPackage(huge, target); })}) {
        try {
            attempt();
            ADD_FAILURE() << "read a package over the limit";
        } catch (const std::runtime_error& error) {
            EXPECT_STREQ(error.what(), "File exceeds package size limit");
        }
    }
    EXPECT_TRUE(fs::is_empty(target));

    // A kernel attribute file claims a page and yields a few bytes: a short read.
    const std::string shortRead = "/sys/devices/system/cpu/online";
    if (fs::exists(shortRead) && fs::file_size(shortRead) > readWhole(shortRead).size()) {
        try {
            readPackageFile(shortRead);
            ADD_FAILURE() << "a short read passed";
        } catch (const std::runtime_error& error) {
            EXPECT_EQ(std::string(error.what()), "Cannot read " + shortRead);
        }
    }
}

// The writer's honest archives are ordinary ZIP files: Info-ZIP's own test passes them, so
// the forged ones differ only where a test forges them.
TEST(SampleZipWriter, HonestArchivesPassUnzipsTest) {
    TempDir dir;
    const fs::path package =
        writePackage(dir / "sample.zip",
                     writeZip({directory("media/"),
                               with(file("media/a.bin", std::string(70'000, 'a'), kZipDeflated),
                                    [](auto& e) { e.dataDescriptor = true; }),
                               file("media/b.txt", "stored"), file("empty", ""), file("empty-deflated", "", kZipDeflated),
                               with(playlist(), [](auto& e) { e.entryComment = "the playlist"; })},
                              {.comment = "sample"}));
    const auto unzip = runProcess({"unzip", "-t", package.string()});
    EXPECT_EQ(unzip.exitStatus, 0) << unzip.out << unzip.err;
}

}  // namespace
}  // namespace lumetta
