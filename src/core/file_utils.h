#pragma once
// Small file and text services: atomic replacement, whole-file reads, Base64 and quoted paths.

#include <cstdint>
#include <filesystem>
#include <ostream>
#include <string>
#include <string_view>
#include <vector>

namespace lumetta {

// The two flushes that make an atomic replacement survive a power cut: the new content before
// the rename, the directory entry after it. The real ones (`diskSyncSteps()`) call fsync; tests
// hand in steps that count or fail them.
class SyncSteps {
public:
    virtual ~SyncSteps() = default;
    // Flushes the written temporary file; false, with errno set, when it cannot.
    virtual bool syncFile(int fd);
    // Flushes `directory`, which now holds the renamed file: true when it could be opened,
    // flushed and closed. A failure changes nothing about the content already written; callers
    // that promise the rename survives a power cut report it.
    virtual bool syncDirectory(const std::filesystem::path& directory);
};

SyncSteps& diskSyncSteps();

// Replaces `path` so that after a power cut either the old or the new content is found:
// temporary file, every byte written, file flushed, rename, directory flushed. Returns true when
// the target now holds exactly `bytes`; on any failure the old file stays, the temporary is
// removed and the reason is logged with "[FILE]".
bool writeFileAtomically(const std::string& path, std::string_view bytes, SyncSteps& sync = diskSyncSteps());

// The whole content, or an empty string when the file cannot be opened or read.
std::string readFile(const std::string& path);

// The decoded bytes, or an empty vector when the text is not valid standard Base64.
std::vector<std::uint8_t> decodeBase64(std::string_view text);

// Writes a path in double quotes with `"` and `\` escaped, as one formatted output.
struct QuotedPath {
    std::string text;
    // The quoted form as a string, for a log line.
    std::string str() const;
};
QuotedPath quoted(const std::filesystem::path& path);
std::ostream& operator<<(std::ostream& out, const QuotedPath& quotedPath);

// Name of the temporary file that writeFileAtomically uses (exposed for tests).
std::string temporaryFileName(const std::string& path, long processId, std::uint32_t counter);

}  // namespace lumetta
