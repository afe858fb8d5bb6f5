// Activation of a loaded playlist and the clean-up of its directory.

#include <filesystem>
#include <iostream>
#include <map>
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

// The reduced copies the image worker makes beside a picture.
void addWithResolutionCopies(std::unordered_set<std::string>& kept, const std::string& file) {
    kept.insert(file);
    for (const char* copyDirectory : {"HD", "FHD", "4K"}) kept.insert(std::string(copyDirectory) + "/" + file);
}

// Every file name the playlist refers to, relative to its directory, as exact text.
std::unordered_set<std::string> referencedMedia(const PlaylistContent& content) {
    std::unordered_set<std::string> kept{sharedDefaults().playlistFileName};
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

bool Playlist::activate() {
    const std::string document = playlistDirectory + "/" + sharedDefaults().playlistFileName;
    if (!fs::exists(fs::status(document))) return false;  // errors other than absence throw
    if (!content) return false;
    if (content->name.empty() || content->name == emptyPlaylistName) return false;
    if (content->slides.empty()) return false;

    const std::string link = baseDirectory + "/" + sharedDefaults().playingFileName;
    const std::string staging = link + ".new";
    std::error_code error;
    fs::remove(staging, error);  // a leftover of an earlier attempt
    fs::create_symlink(document, staging, error);
    if (error) return false;
    fs::rename(staging, link, error);
    if (error) {
        fs::remove(staging, error);
        return false;
    }
    removeUnreferencedMedia();
    return true;
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
