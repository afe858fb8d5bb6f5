#pragma once
// A small ZIP writer for sample and test packages. Entries are laid out one after another (local
// header, name, extra field, data, optional data descriptor), then the central directory, then
// the end record and its comment. Stored and deflate entries are written honestly by default;
// every field a reader checks (signatures, flags, methods, sizes, CRC, modes, disks, offsets,
// names, counts, comment length) can be forged one at a time, and bytes can be slipped in where
// no well-formed archive has any.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace lumetta::sample {

inline constexpr std::uint16_t kZipStored = 0;
inline constexpr std::uint16_t kZipDeflated = 8;
inline constexpr std::uint32_t kZipRegularFile = 0100644;
inline constexpr std::uint32_t kZipDirectory = 040755;
inline constexpr std::uint32_t kZipSymbolicLink = 0120777;

struct ZipWriterEntry {
    std::string name{};  // raw bytes; a name ending in "/" is a directory
    std::string content{};
    std::uint16_t method = kZipStored;
    std::optional<std::uint32_t> mode{};  // Unix mode; by default a regular file or, for "…/", a directory
    std::uint16_t flags = 0;  // general-purpose flags of both headers
    // Sets flag bit 3, writes zeros for the CRC and sizes in the local header and puts them in a
    // descriptor after the data, as a writer that streams its output does.
    bool dataDescriptor = false;

    // Forgeries: each replaces what the writer would write.
    std::optional<std::string> data{};  // the bytes after the local header (the compressed form)
    std::optional<std::uint32_t> crc{};
    std::optional<std::uint32_t> compressedSize{};
    std::optional<std::uint32_t> uncompressedSize{};
    std::optional<std::uint32_t> centralSignature{};
    std::optional<std::uint32_t> localSignature{};
    std::optional<std::string> localName{};
    std::optional<std::uint16_t> localFlags{};
    std::optional<std::uint16_t> localMethod{};
    std::uint16_t startDisk = 0;
    std::string localExtra{};
    std::optional<std::uint16_t> localExtraLength{};
    std::string centralExtra{};
    std::string entryComment{};
    std::optional<std::uint16_t> entryCommentLength{};
    std::optional<std::uint32_t> localOffset{};  // where the central header says the local one is
    // Writes no local header of its own: the central header points at entry N's.
    std::optional<std::size_t> localHeaderOf{};
};

struct ZipWriterEnd {
    std::string comment{};
    std::optional<std::uint16_t> commentLength{};
    std::optional<std::uint16_t> disk{};
    std::optional<std::uint16_t> directoryDisk{};
    std::optional<std::uint16_t> entriesOnDisk{};
    std::optional<std::uint16_t> totalEntries{};
    std::optional<std::uint32_t> directorySize{};
    std::optional<std::uint32_t> directoryOffset{};
    std::string beforeDirectory{};  // between the last entry's data and the central directory
    std::string beforeEnd{};        // between the central directory and the end record
    std::string afterComment{};     // after the comment, at the very end
};

// Raw deflate (no zlib header), as ZIP entries hold it.
std::string deflateRaw(std::string_view bytes, int level = -1);

// The CRC-32 that ZIP records.
std::uint32_t zipCrc32(std::string_view bytes);

std::vector<std::uint8_t> writeZip(const std::vector<ZipWriterEntry>& entries, const ZipWriterEnd& end = {});

}  // namespace lumetta::sample
