#include "content/played_playlists.h"

#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <system_error>

namespace lumetta {
namespace {

// The number before the first tab, read the way std::stoll reads it (leading white space and a
// sign allowed, anything after the digits ignored); false when there is none or it is out of range.
bool readSeconds(const std::string& text, std::int64_t& value) {
    errno = 0;
    char* end = nullptr;
    const long long parsed = std::strtoll(text.c_str(), &end, 10);
    if (end == text.c_str() || errno == ERANGE) return false;
    value = parsed;
    return true;
}

}  // namespace

PlayedPlaylistsRecord::PlayedPlaylistsRecord(std::filesystem::path directory, Clock& clock)
    : directory_(std::move(directory)), clock_(clock) {}

bool PlayedPlaylistsRecord::loadLocked(std::int64_t now) {
    std::error_code error;
    std::filesystem::create_directories(directory_, error);
    if (error) return false;

    std::error_code statusError;
    if (!std::filesystem::exists(std::filesystem::status(markerPath(), statusError)) &&
        !replaceFileContents(markerPath(), std::to_string(now) + "\n")) {
        return false;
    }

    std::ifstream in(filePath(), std::ios::binary);
    std::string line;
    while (in && std::getline(in, line)) {
        if (line.empty() || line[0] == '#') continue;
        const std::size_t tab = line.find('\t');
        if (tab == std::string::npos) continue;
        std::int64_t seconds = 0;
        if (!readSeconds(line.substr(0, tab), seconds)) continue;
        if (seconds < 1 || seconds > now || now - seconds > retentionSeconds) continue;
        entries_[line.substr(tab + 1)] = seconds;  // a later line for the same key wins
    }
    loaded_ = true;
    return true;
}

std::string PlayedPlaylistsRecord::fileTextLocked() const {
    std::string text = "# boot_seconds\taccount\tbranch\tplaylist\n";
    for (const auto& [key, seconds] : entries_) text += std::to_string(seconds) + "\t" + key + "\n";
    return text;
}

bool PlayedPlaylistsRecord::record(const std::string& account, const std::string& branch,
                                   const std::string& playlist) {
    if (account.empty() || branch.empty() || playlist.empty()) return false;
    const std::int64_t now = clock_.steadyMs() / 1000;

    std::lock_guard lock(mutex_);
    if (!loaded_ && !loadLocked(now)) return false;

    const std::string key = account + "\t" + branch + "\t" + playlist;
    const auto found = entries_.find(key);
    if (found != entries_.end() && now - found->second < rewriteIntervalSeconds) return true;
    entries_[key] = now;
    std::erase_if(entries_, [now](const auto& entry) { return now - entry.second > retentionSeconds; });
    return replaceFileContents(filePath(), fileTextLocked());
}

bool recordPlayedPlaylist(const std::string& account, const std::string& branch, const std::string& playlist) {
    static PlayedPlaylistsRecord record;
    return record.record(account, branch, playlist);
}

bool replaceFileContents(const std::filesystem::path& path, const std::string& contents) {
    const std::filesystem::path temporary = path.string() + ".tmp." + std::to_string(::getpid());
    {
        std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
        if (!out.is_open()) return false;
        out.write(contents.data(), static_cast<std::streamsize>(contents.size()));
        out.close();
        if (!out) return false;
    }
    std::error_code error;
    std::filesystem::rename(temporary, path, error);
    if (error) {
        std::filesystem::remove(temporary, error);
        return false;
    }
    return true;
}

}  // namespace lumetta
