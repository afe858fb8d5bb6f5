// Playlist packages as the reader takes them from a file, without the disk: every entry that
// reaches the sink must have a normal, relative name that stays inside the target, the sizes
// must stay within the limits, and every refusal must be one of the reader's own messages.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <set>
#include <stdexcept>
#include <string>
#include <string_view>

#include "package/zip_reader.h"
#include "tests/package/zip_fixtures.h"

namespace {

void check(bool condition) {
    if (!condition) std::abort();
}

bool normalInsideName(std::string_view name) {
    if (name.empty() || name.front() == '/' || name.find_first_of(std::string_view("\\:\0", 3)) != name.npos ||
        name.find("//") != name.npos) {
        return false;
    }
    std::size_t start = 0;
    while (start < name.size()) {
        std::size_t end = name.find('/', start);
        if (end == name.npos) end = name.size();
        const std::string_view element = name.substr(start, end - start);
        if (element == "." || element == "..") return false;
        start = end + 1;
    }
    const std::string joined = (std::filesystem::path("/target") / std::string(name)).lexically_normal().string();
    return joined.starts_with("/target/") && joined.size() > 8;
}

bool isPlaylist(std::string_view name) {
    return name == "playlist.json" || name.ends_with("/playlist.json");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace lumetta;
    std::set<std::string> names;
    std::set<std::string> playlists;
    std::uint64_t total = 0;
    try {
        const std::string playlist = readZipEntries({data, size}, [&](const ZipEntry& entry) {
            check(normalInsideName(entry.name));
            check((entry.kind == ZipEntryKind::Directory) == entry.name.ends_with('/'));
            check(entry.kind == ZipEntryKind::File || entry.bytes.empty());
            check(names.insert(entry.name).second);
            check(names.size() <= kZipEntryLimit);
            check(entry.bytes.size() <= kZipEntrySizeLimit);
            total += entry.bytes.size();
            check(total <= kZipExtractionLimit);
            if (entry.kind == ZipEntryKind::File && isPlaylist(entry.name)) playlists.insert(entry.name);
            // A stored entry is handed over in place: it must lie inside the input.
            if (!entry.bytes.empty() && entry.bytes.data() >= data && entry.bytes.data() < data + size) {
                check(entry.bytes.data() + entry.bytes.size() <= data + size);
            }
        });
        check(playlists.size() == 1 && *playlists.begin() == playlist);
    } catch (const std::runtime_error& error) {
        check(lumetta::testing::zipArchiveMessages().contains(error.what()));
    }
    return 0;
}
