#pragma once
// Short forms for the package tests' archives, and every message the reader gives about the
// bytes of an archive (the fuzz target holds every refusal to this list too).

#include <set>
#include <string>
#include <utility>

#include "assets/sample/zip_writer.h"

namespace lumetta::testing {

inline sample::ZipWriterEntry zipFile(std::string name, std::string content,
                                      std::uint16_t method = sample::kZipStored) {
    return sample::ZipWriterEntry{.name = std::move(name), .content = std::move(content), .method = method};
}
inline sample::ZipWriterEntry zipDirectory(std::string name) { return sample::ZipWriterEntry{.name = std::move(name)}; }
inline sample::ZipWriterEntry zipPlaylist() {
    return zipFile("playlist.json", R"({"slides":[]})", sample::kZipDeflated);
}

// `entry` with `change` applied, for the one field a case forges.
template <typename Change>
sample::ZipWriterEntry with(sample::ZipWriterEntry entry, Change change) {
    change(entry);
    return entry;
}

inline const std::set<std::string>& zipArchiveMessages() {
    static const std::set<std::string> messages = {
        "Invalid ZIP", "ZIP directory not found", "Truncated ZIP", "Multi-disk ZIP unsupported",
        "Invalid ZIP directory or size limit", "Invalid ZIP entry", "Unsupported ZIP entry", "Unsafe ZIP path",
        "Duplicate ZIP entry", "ZIP links/special files unsupported", "ZIP exceeds extraction size limit",
        "Invalid ZIP local header", "Invalid ZIP data bounds", "ZIP filename mismatch", "Invalid ZIP directory",
        "Cannot initialize ZIP decompressor", "Invalid ZIP compressed data", "Invalid stored ZIP size",
        "ZIP CRC mismatch", "ZIP contains multiple playlists", "ZIP must contain exactly one playlist.json"};
    return messages;
}

}  // namespace lumetta::testing
