#pragma once
// The record of the playlists shown since boot: one line per (account, branch, playlist) with the
// time of its last showing in seconds since boot, kept in memory and mirrored in
// "played-playlists.tsv" under /run/lumetta, which the system empties at every boot. Beside it,
// "played-playlists.boot" marks when the record was first used since then.
//
// The file is rewritten whole, through a temporary file and a rename, so another process reading
// it sees the old or the new list, never a mix. Entries older than 30 days are dropped; a playlist
// shown again within an hour of its recorded time does not cause a rewrite.

#include <cstdint>
#include <filesystem>
#include <map>
#include <mutex>
#include <string>

#include "core/clock.h"

namespace lumetta {

class PlayedPlaylistsRecord {
public:
    static constexpr std::int64_t retentionSeconds = 2'592'000;  // 30 days
    static constexpr std::int64_t rewriteIntervalSeconds = 3'600;

    // Seconds since boot are the steady clock's milliseconds of `clock`, divided by 1000.
    explicit PlayedPlaylistsRecord(std::filesystem::path directory = "/run/lumetta", Clock& clock = systemClock());

    // Records one showing. True when the record now holds the playlist with a time less than an
    // hour old; false for an empty argument or when the directory, the marker or the file cannot
    // be written (the in-memory record keeps the update, and the next rewrite carries it).
    bool record(const std::string& account, const std::string& branch, const std::string& playlist);

    std::filesystem::path filePath() const { return directory_ / "played-playlists.tsv"; }
    std::filesystem::path markerPath() const { return directory_ / "played-playlists.boot"; }

private:
    bool loadLocked(std::int64_t now);
    std::string fileTextLocked() const;

    const std::filesystem::path directory_;
    Clock& clock_;
    std::mutex mutex_;  // guards the entries, the loaded flag and every file operation
    bool loaded_ = false;
    std::map<std::string, std::int64_t> entries_;  // "account\tbranch\tplaylist" -> boot seconds
};

// The process-wide record in /run/lumetta; what the player loop calls for every playlist it starts
// showing.
bool recordPlayedPlaylist(const std::string& account, const std::string& branch, const std::string& playlist);

// Replaces the whole file through "<path>.tmp.<process id>" and a rename; true on success. A
// failed write leaves the target untouched (and the temporary file behind); a failed rename
// removes the temporary file.
bool replaceFileContents(const std::filesystem::path& path, const std::string& contents);

}  // namespace lumetta
