#pragma once
// Playlist packages are ZIP files that we trust in nothing. The reader takes the whole file into
// memory and checks every offset, length, name, mode and size before it uses them: one disk, no
// ZIP64, 1 to 512 entries, stored or deflate, no encryption, local headers that repeat their
// central headers, data that ends before the central directory, names that stay inside the
// target, regular files and directories only, at most 128 MiB per entry and 512 MiB in all.
// Each entry is inflated in one call into a buffer one byte larger than its declared size (so a
// stream that yields more fails at that byte) and checked against its CRC-32 before anyone sees
// it. Memory stays bounded by the package plus its largest entry, and the disk by 512 MiB.
//
// Every failure is a std::runtime_error with a fixed message raised through `require`; failures
// of the file system itself (a missing package file, a directory where an earlier entry made a
// file) come as the file-system library's own errors.

#include <cstdint>
#include <filesystem>
#include <functional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace lumetta {

inline constexpr std::uint64_t kPackageSizeLimit = 536'870'912;  // the package file, read whole
inline constexpr std::uint64_t kZipEntrySizeLimit = 134'217'728;  // one entry, uncompressed
inline constexpr std::uint64_t kZipExtractionLimit = 536'870'912;  // every entry together
inline constexpr std::uint32_t kZipEntryLimit = 512;

// Throws std::runtime_error carrying `message` unless `condition` holds.
void require(bool condition, std::string_view message);

// The little-endian 16-bit value at `offset`; "Truncated ZIP" unless both bytes lie inside.
std::uint16_t readZipField(std::span<const std::uint8_t> bytes, std::uint64_t offset);

// The whole file. Its size is asked first (a missing file fails with the file system's error),
// one above kPackageSizeLimit fails with "File exceeds package size limit" before anything is
// read, and a file that cannot be opened or read whole fails with "Cannot read " + path.
std::vector<std::uint8_t> readPackageFile(const std::filesystem::path& path);

// The normal form of an entry name (each run of "/" collapsed to one, a trailing "/" kept), used
// to find duplicates and to build output paths. "Unsafe ZIP path" for a name that is empty,
// starts with "/", holds a backslash, a colon or a NUL byte, or has an element "." or "..".
std::string checkZipPath(std::string_view name);

enum class ZipEntryKind { Directory, File };

// One entry that passed every check.
struct ZipEntry {
    std::string name;  // normal form; a directory's ends in "/"
    ZipEntryKind kind;
    std::span<const std::uint8_t> bytes;  // the checked content (empty for a directory); valid during the call only
};

using ZipEntrySink = std::function<void(const ZipEntry&)>;

// Walks the archive in central-directory order and hands each entry to `sink` as soon as it has
// passed its checks; an exception from the sink ends the walk. Returns the normal name of the one
// file entry whose last element is "playlist.json".
std::string readZipEntries(std::span<const std::uint8_t> package, const ZipEntrySink& sink);

// Extracts the package into `targetDirectory` (made by the caller, fresh and empty) and returns
// the path of its "playlist.json". Files and directories get the process's default permissions,
// never the archive's. What a failure part-way has written stays in the target for the caller
// to remove.
std::filesystem::path extractZipPackage(const std::filesystem::path& packagePath,
                                        const std::filesystem::path& targetDirectory);

}  // namespace lumetta
