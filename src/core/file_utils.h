#pragma once
// Small file and text services: atomic replacement, whole-file reads, Base64 and quoted paths.

#include <cstdint>
#include <filesystem>
#include <ostream>
#include <string>
#include <string_view>
#include <vector>

namespace lumetta {

// Replaces `path` so that after a power cut either the old or the new content is found.
// Returns true when the target now holds exactly `bytes`; failures are logged with "[FILE]".
bool writeFileAtomically(const std::string& path, std::string_view bytes);

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
