// Activation of a loaded playlist and the clean-up of its directory.

#include <filesystem>
#include <iostream>
#include <algorithm>
#include <deque>
#include <map>
#include <set>
#include <vector>
#include <sstream>
#include <string>
#include <system_error>
#include <unordered_set>

#include "content/layer_kinds.h"
#include "content/playlist.h"
#include "core/file_utils.h"
#include "core/log.h"
#include "core/shared_defaults.h"

namespace lumetta {

namespace fs = std::filesystem;

std::mutex playlistFilesMutex;

namespace {

constexpr const char* emptyPlaylistName = "0 Empty Playlist";

// Guarded by playlistFilesMutex.
std::map<std::string, std::uint64_t> documentStamps;
std::uint64_t lastDocumentStamp = 0;

// What activations under one base directory have done in this process. Guarded by
// playlistFilesMutex.
struct ActivationRecord {
    std::uint64_t count = 0;
    std::deque<std::string> recent;  // playlist directories, the last activated at the back
};
std::map<std::string, ActivationRecord> activationRecords;
std::map<std::string, std::size_t> directoriesInUse;

// Directories kept besides the active one: a switch back to them, and copies of their media
// into a new playlist of the account, cost no download.
constexpr std::size_t earlierPlaylistsKept = 2;

// The reduced copies the image worker makes beside a picture.
void addWithResolutionCopies(std::unordered_set<std::string>& kept, const std::string& file) {
    kept.insert(file);
    for (const char* copyDirectory : {"HD", "FHD", "4K"}) kept.insert(std::string(copyDirectory) + "/" + file);
}

// Every file name the playlist refers to, relative to its directory, as exact text.
std::unordered_set<std::string> referencedMedia(const PlaylistContent& content) {
    // A newer version of the document may be waiting beside it for its own activation.
    std::unordered_set<std::string> kept{sharedDefaults().playlistFileName,
                                         fs::path(waitingDocumentPath("")).filename().string()};
    for (const Slide& slide : content.slides) {
        const Json::Value& scene = slide.sceneSource.isObject() ? slide.sceneSource["scene"] : Json::Value::nullSingleton();
        if (scene.isObject()) {
            const Json::Value& resources = scene["resources"];
            if (resources.isArray()) {
                for (const Json::Value& resource : resources) {
                    if (resource.isObject() && resource["file"].isString()) kept.insert(resource["file"].asString());
                }
            }
            const Json::Value& items = scene["items"];
            if (items.isArray()) {
                for (const Json::Value& item : items) {
                    if (!item.isObject() || !item["layer"].isObject()) continue;
                    const Json::Value& layer = item["layer"];
                    if (layer["sprite"].isObject() && layer["sprite"]["file"].isString()) {
                        kept.insert(layer["sprite"]["file"].asString());
                    }
                    if (layer["text"].isObject() && layer["text"]["font-file"].isString()) {
                        kept.insert(layer["text"]["font-file"].asString());
                    }
                }
            }
        }
        for (const SlideLayer& layer : slide.layers) {
            if (layer.geometry.stencil && layer.geometry.stencil->type == "image") {
                addWithResolutionCopies(kept, layer.geometry.stencil->file);
            }
        }
        for (const SlideLayer& layer : slide.layers) {
            for (const LayerMedium& medium : layerMedia(layer.content)) {
                if (medium.sizedToLayer && medium.folder == "images") {
                    addWithResolutionCopies(kept, medium.file);
                } else {
                    kept.insert(medium.file);
                }
            }
        }
    }
    return kept;
}

bool isRegularFile(const fs::path& path, fs::file_type cachedType) {
    if (cachedType == fs::file_type::none || cachedType == fs::file_type::unknown ||
        cachedType == fs::file_type::symlink) {
        std::error_code error;
        const fs::file_status status = fs::status(path, error);
        return !error && status.type() == fs::file_type::regular;
    }
    return cachedType == fs::file_type::regular;
}

}  // namespace

std::uint64_t notePlaylistDocumentWritten(const std::string& directory) {
    return documentStamps[directory] = ++lastDocumentStamp;
}

std::uint64_t lastPlaylistDocumentStamp(const std::string& directory) {
    const auto found = documentStamps.find(directory);
    return found == documentStamps.end() ? 0 : found->second;
}

std::uint64_t playlistActivationCount(const std::string& baseDirectory) {
    const auto found = activationRecords.find(baseDirectory);
    return found == activationRecords.end() ? 0 : found->second.count;
}

void holdPlaylistDirectory(const std::string& directory) { ++directoriesInUse[fs::path(directory).lexically_normal().string()]; }

void releasePlaylistDirectory(const std::string& directory) {
    const auto found = directoriesInUse.find(fs::path(directory).lexically_normal().string());
    if (found != directoriesInUse.end() && --found->second == 0) directoriesInUse.erase(found);
}

std::string waitingDocumentPath(const std::string& playlistDirectory) {
    // Ends in ".part", which no medium's name may.
    return playlistDirectory + "/" + sharedDefaults().playlistFileName + ".next.part";
}

bool Playlist::activate() { return activateLink() == Activation::Done; }

Playlist::Activation Playlist::activateLink() {
    const std::string document = playlistDirectory + "/" + sharedDefaults().playlistFileName;
    if (!fs::exists(fs::status(document))) return Activation::Refused;  // errors other than absence throw
    if (!content) return Activation::Refused;
    if (content->name.empty() || content->name == emptyPlaylistName) return Activation::Refused;
    if (content->slides.empty()) return Activation::Refused;

    const std::string link = baseDirectory + "/" + sharedDefaults().playingFileName;
    const std::string staging = link + ".new";
    std::string previousDirectory;
    {
        std::lock_guard lock(playlistFilesMutex);
        ActivationRecord& record = activationRecords[baseDirectory];
        if (activationsAtStart_ && record.count != *activationsAtStart_) return Activation::LeftToNewer;

        std::error_code error;
        const fs::path previous = fs::read_symlink(link, error);
        if (!error) previousDirectory = previous.parent_path().lexically_normal().string();
        fs::remove(staging, error);  // a leftover of an earlier attempt
        error.clear();
        fs::create_symlink(document, staging, error);
        if (error) return Activation::Refused;
        fs::rename(staging, link, error);
        if (error) {
            fs::remove(staging, error);
            return Activation::Refused;
        }
        if (documentWaiting_) {
            // The link already named this document: the new version takes its place now.
            fs::rename(waitingDocumentPath(playlistDirectory), document, error);
            if (error) return Activation::Refused;
            documentWaiting_ = false;
        }
        ++record.count;
        const std::string activated = fs::path(playlistDirectory).lexically_normal().string();
        if (!previousDirectory.empty() && (record.recent.empty() || record.recent.back() != previousDirectory)) {
            std::erase(record.recent, previousDirectory);
            record.recent.push_back(previousDirectory);
        }
        std::erase(record.recent, activated);
        record.recent.push_back(activated);
        while (record.recent.size() > earlierPlaylistsKept + 1) record.recent.pop_front();
    }
    removeUnreferencedMedia();
    removeEarlierPlaylists();
    return Activation::Done;
}

void Playlist::removeEarlierPlaylists() {
    std::lock_guard lock(playlistFilesMutex);
    const ActivationRecord& record = activationRecords[baseDirectory];
    std::set<std::string> kept(record.recent.begin(), record.recent.end());
    kept.insert(fs::path(playlistDirectory).lexically_normal().string());
    for (const auto& [directory, holders] : directoriesInUse) kept.insert(directory);

    // <base>/<account>/<branch>/<playlist>: only directories at that depth are playlists.
    const fs::path base = fs::path(baseDirectory).lexically_normal();
    const auto subdirectories = [](const fs::path& parent) {
        std::vector<fs::path> found;
        std::error_code error;
        for (fs::directory_iterator it(parent, error), end; !error && it != end; it.increment(error)) {
            std::error_code typeError;
            if (it->symlink_status(typeError).type() == fs::file_type::directory) found.push_back(it->path());
        }
        return found;
    };
    for (const fs::path& account : subdirectories(base)) {
        for (const fs::path& branch : subdirectories(account)) {
            for (const fs::path& playlist : subdirectories(branch)) {
                if (kept.count(playlist.string()) != 0) continue;
                std::error_code error;
                fs::remove_all(playlist, error);
                std::ostringstream message;
                if (error) {
                    message << " Could not remove earlier playlist " << quoted(playlist) << ": " << error.message();
                    logLine(std::cerr, ansi::BOLD_RED, "[PLAYLIST]", message.str());
                } else {
                    message << " Removed earlier playlist " << quoted(playlist);
                    logLine(std::cout, ansi::BOLD_GREEN, "[PLAYLIST]", message.str());
                }
            }
            std::error_code notEmpty;
            fs::remove(branch, notEmpty);  // only when nothing is left in it
        }
        std::error_code notEmpty;
        fs::remove(account, notEmpty);
    }
}

void Playlist::removeUnreferencedMedia() {
    if (!content) return;
    const std::unordered_set<std::string> kept = referencedMedia(*content);

    std::lock_guard lock(playlistFilesMutex);
    // Another load of this directory wrote its document after ours: its media may be arriving
    // right now, and its own activation cleans up with its own list.
    if (lastPlaylistDocumentStamp(playlistDirectory) != documentStamp_) return;

    const fs::path root(playlistDirectory);
    std::error_code error;
    fs::recursive_directory_iterator walk(root, fs::directory_options::skip_permission_denied, error);
    if (error) return;
    const fs::recursive_directory_iterator end;
    while (walk != end) {
        const fs::path path = walk->path();
        std::error_code typeError;
        const fs::file_type cachedType = walk->symlink_status(typeError).type();
        // Move on first, so that removing the file cannot disturb the walk.
        walk.increment(error);
        if (isRegularFile(path, typeError ? fs::file_type::none : cachedType) &&
            kept.count(path.lexically_relative(root).string()) == 0) {
            std::error_code removeError;
            std::ostringstream message;
            if (fs::remove(path, removeError) && !removeError) {
                message << " Removed unreferenced media " << quoted(path);
                logLine(std::cout, ansi::BOLD_GREEN, "[PLAYLIST]", message.str());
            } else if (removeError) {
                message << " Could not remove unreferenced media " << quoted(path) << ": " << removeError.message();
                logLine(std::cerr, ansi::BOLD_RED, "[PLAYLIST]", message.str());
            }
        }
        if (error) break;
    }
}

}  // namespace lumetta
