// Loading one playlist: its document from the service (or the active one from disk at start-up),
// its check, its storage, its slides and the queueing of its media.

#include <cstdint>
#include <exception>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <limits>
#include <new>
#include <sstream>
#include <stdexcept>

#include <json/json.h>

#include "content/curl_transfer.h"
#include "content/playlist.h"
#include "content/playlist_slides.h"
#include "content/scene_stand_in.h"
#include "content/slide_document.h"
#include "core/config_store.h"
#include "core/file_utils.h"
#include "core/log.h"
#include "core/palette.h"
#include "core/percent_encoding.h"

namespace lumetta {

namespace fs = std::filesystem;

namespace {

constexpr const char* emptyPlaylistName = "0 Empty Playlist";
constexpr std::int64_t connectivityRoundMs = 1000;
constexpr std::uint64_t groupWaitSliceMs = 100;

struct CurlFree {
    void operator()(char* text) const { curl_free(text); }
};

// The active playlist's document, or empty when "playing.json" cannot be read or is empty. Only a
// regular file (through the link) is read: a directory or a device in its place counts as absent.
std::string readPlayingDocument(const std::string& playingPath) {
    std::error_code error;
    if (!fs::is_regular_file(fs::status(playingPath, error)) || error) return {};
    std::ifstream in(playingPath, std::ios::binary);
    if (!in.is_open() || !in.seekg(0, std::ios::end)) return {};
    const std::streamoff size = in.tellg();
    if (size <= 0 || !in.seekg(0, std::ios::beg)) return {};
    std::string text(static_cast<std::size_t>(size), '\0');
    if (!in.read(text.data(), size)) return {};
    return text;
}

Json::Value parseDocument(const std::string& text) {
    Json::CharReaderBuilder builder;
    Json::Value root;
    std::string errors;
    std::istringstream stream(text);
    bool parsed = false;
    try {
        parsed = Json::parseFromStream(builder, stream, &root, &errors);
    } catch (const Json::Exception& error) {
        // The reader throws, for example, at its nesting limit.
        errors = error.what();
    }
    if (!parsed || !root.isObject()) {
        throw std::runtime_error(errors.empty() ? "Invalid playlist JSON" : "Invalid playlist JSON: " + errors);
    }
    return root;
}

bool nonEmptyText(const Json::Value& value) { return value.isString() && !value.asString().empty(); }

// Ticker messages of a document the content check passed; the empty playlist is not checked
// there, so its ticker is held to the same rules here.
std::vector<std::string> readTickerMessages(const Json::Value& ticker) {
    std::vector<std::string> messages;
    if (ticker.isNull()) return messages;
    if (!ticker.isArray()) throw std::runtime_error("Invalid playlist content: ticker must be an array");
    for (Json::ArrayIndex i = 0; i < ticker.size(); ++i) {
        if (!ticker[i].isObject() || !ticker[i]["message"].isString()) {
            throw std::runtime_error("Invalid playlist content: ticker message " + std::to_string(i) + " is invalid");
        }
        messages.push_back(ticker[i]["message"].asString());
    }
    return messages;
}

}  // namespace

void setCurlOption(CURL* handle, CURLoption option, const void* value) {
    const CURLcode result = curl_easy_setopt(handle, option, value);
    if (result != CURLE_OK) {
        throw std::runtime_error(std::string("Could not configure playlist download: ") + curl_easy_strerror(result));
    }
}

void setCurlLongOption(CURL* handle, CURLoption option, long value) {
    const CURLcode result = curl_easy_setopt(handle, option, value);
    if (result != CURLE_OK) {
        throw std::runtime_error(std::string("Could not configure playlist download: ") + curl_easy_strerror(result));
    }
}

std::size_t appendResponse(char* data, std::size_t size, std::size_t count, std::string* target) {
    if (data == nullptr || target == nullptr) return 0;
    if (size != 0 && count > std::numeric_limits<std::uint32_t>::max() / size) return 0;
    const std::size_t bytes = size * count;
    try {
        target->append(data, bytes);
    } catch (...) {
        return 0;
    }
    return bytes;
}

void ensurePlaylistDirectory(const fs::path& path) {
    std::error_code error;
    fs::create_directories(path, error);
    if (error) {
        throw std::runtime_error("Could not create playlist directory '" + path.string() + "': " + error.message());
    }
    if (!fs::is_directory(path, error)) {
        throw std::runtime_error("Playlist directory path is not a directory: '" + path.string() + "'");
    }
}

Playlist::Playlist(const std::string& configBaseDirectory, std::string deviceId, bool startup,
                   const std::string& playlistId, const PlaylistLoadOptions& options)
    : queue_(options.queue) {
    try {
        load(configBaseDirectory, deviceId, startup, playlistId, options);
    } catch (...) {
        // A handle exists only whole: give up the group (at once, or when its last pending task
        // completes) and the pictures already prepared for it.
        if (downloadGroupId != 0) queue_->eraseGroup(downloadGroupId);
        downloadGroupId = 0;
        queue_->evictPreparedImages(preparedImageId);
        preparedImageId = 0;
        content.reset();
        releaseDirectory();
        throw;
    }
}

void Playlist::load(const std::string& configBaseDirectory, const std::string& deviceId, bool startup,
                    const std::string& playlistId, const PlaylistLoadOptions& options) {
    const std::atomic<bool>& running = *options.running;
    ThreadSafeQueue& queue = *queue_;
    const auto throwIfStopped = [&] {
        if (!running.load() || queue.stopping()) throw std::runtime_error("Playlist loading stopped");
    };

    // A device id read from a file may keep a carriage return, which no URL may carry.
    const std::string devicePath = encodeDeviceIdForUrl(deviceId);
    baseDirectory = configBaseDirectory + "/" + sharedDefaults().programDirectoryName;
    ensurePlaylistDirectory(baseDirectory);
    const std::string playingPath = baseDirectory + "/" + sharedDefaults().playingFileName;

    std::string text;
    if (startup) {
        {
            std::lock_guard lock(playlistFilesMutex);
            activationsAtStart_ = playlistActivationCount(baseDirectory);
        }
        text = readPlayingDocument(playingPath);
    }
    if (text.empty()) {
        // Wait for a way to the service, or for an active playlist to fall back on.
        for (;;) {
            throwIfStopped();
            if (options.internetAccess()) break;
            std::error_code error;
            if (fs::exists(fs::status(playingPath, error))) break;
            options.clock->sleepFor(connectivityRoundMs);
        }
        throwIfStopped();

        CurlEasyHandle handle = makeCurlEasyHandle();
        if (!handle) throw std::runtime_error("Could not initialise playlist download");
        std::string url = sharedDefaults().httpScheme + "://" + options.serviceHost + "/devices/" + devicePath +
                          "/playlist/json";
        if (!playlistId.empty()) {
            const std::unique_ptr<char, CurlFree> escaped(
                curl_easy_escape(handle.get(), playlistId.data(), static_cast<int>(playlistId.size())));
            if (!escaped) throw std::runtime_error("Could not encode scheduled playlist ID");
            url += "?playlistId=" + std::string(escaped.get());
        }
        logText(std::cout, "Download: " + std::string(ansi::GREEN) + url + std::string(ansi::RESET));

        const std::function<bool()> shouldAbort = [&] { return !running.load() || queue.stopping(); };
        setCurlOption(handle.get(), CURLOPT_URL, url.c_str());
        setCurlOption(handle.get(), CURLOPT_WRITEFUNCTION, reinterpret_cast<const void*>(&appendResponse));
        setCurlOption(handle.get(), CURLOPT_WRITEDATA, &text);
        const CURLcode defaults = applyTransferDefaults(handle.get());  // user agent, certificate checks
        if (defaults != CURLE_OK) {
            throw std::runtime_error(std::string("Could not configure playlist download: ") +
                                     curl_easy_strerror(defaults));
        }
        setCurlLongOption(handle.get(), CURLOPT_TIMEOUT, options.transferTimeoutSeconds);
        setCurlLongOption(handle.get(), CURLOPT_FOLLOWLOCATION, 1L);
        setCurlLongOption(handle.get(), CURLOPT_FAILONERROR, 1L);
        const CURLcode abortCheck = installAbortCheck(handle.get(), &shouldAbort);
        if (abortCheck != CURLE_OK) {
            throw std::runtime_error(std::string("Could not configure playlist download: ") +
                                     curl_easy_strerror(abortCheck));
        }

        const CURLcode result = curl_easy_perform(handle.get());
        long status = 0;
        const CURLcode info = curl_easy_getinfo(handle.get(), CURLINFO_RESPONSE_CODE, &status);
        if (result == CURLE_ABORTED_BY_CALLBACK) throwIfStopped();
        if (result != CURLE_OK) {
            throw std::runtime_error(std::string("Playlist JSON download failed: ") + curl_easy_strerror(result));
        }
        if (info != CURLE_OK) {
            throw std::runtime_error(std::string("Could not read playlist HTTP response: ") + curl_easy_strerror(info));
        }
        if (status < 200 || status > 299) {
            throw std::runtime_error("Playlist JSON HTTP response: " + std::to_string(status));
        }
    }

    const Json::Value document = parseDocument(text);
    const Json::Value& account = document["account"];
    const Json::Value& branch = document["branch"];
    const Json::Value& name = document["playlist"];
    const Json::Value& slides = document["slides"];
    const bool complete = nonEmptyText(account) && nonEmptyText(branch) && nonEmptyText(name) &&
                          name.asString() != emptyPlaylistName && slides.isArray() && !slides.empty();
    const bool empty = !complete && startup && account.isString() && branch.isString() && name.isString() &&
                       name.asString() == emptyPlaylistName && slides.isArray() && slides.empty();
    if (!complete && !empty) throw std::runtime_error("Playlist is empty or incomplete");

    Json::Value expanded = document;
    if (complete) {
        for (Json::Value& slide : expanded["slides"]) slide = parseSlideshow(slide);
        std::string message;
        bool valid = false;
        try {
            valid = validatePlaylistContent(expanded, message);
        } catch (const Json::Exception& error) {
            message = error.what();
        }
        if (!valid) throw std::runtime_error("Invalid playlist content: " + message);
        downloadGroupId = queue.createGroup();
        preparedImageId = downloadGroupId;
    }

    content.emplace();
    content->account = account.asString();
    content->branch = branch.asString();
    content->name = name.asString();

    if (empty) {
        playlistDirectory = baseDirectory;
    } else {
        std::lock_guard lock(playlistFilesMutex);
        if (!setConfigAccountBranch(configBaseDirectory, content->account, content->branch)) {
            logLine(std::cerr, ansi::BOLD_RED, "[CONFIG]", " Unable to save account and branch");
        }
        playlistDirectory = baseDirectory + "/" + content->account + "/" + content->branch + "/" + content->name;
        holdPlaylistDirectory(playlistDirectory);
        directoryHeld_ = true;
        ensurePlaylistDirectory(playlistDirectory);
        std::ostringstream serialised;
        serialised << document;
        // A new version of the playlist on screen waits beside its document until it activates:
        // if a medium fails or the power goes first, the next start still finds the version that
        // played. At start-up the document is the one "playing.json" named, written back as read.
        const std::string documentPath = playlistDirectory + "/" + sharedDefaults().playlistFileName;
        std::error_code notOnScreen;
        documentWaiting_ = !startup && fs::equivalent(playingPath, documentPath, notOnScreen) && !notOnScreen;
        // Replaced whole: "playing.json" may point here, and a cut-off file would leave an
        // offline player with nothing to play.
        if (!writeFileAtomically(documentWaiting_ ? waitingDocumentPath(playlistDirectory) : documentPath,
                                 serialised.str())) {
            throw std::runtime_error("Could not write playlist JSON file");
        }
        documentStamp_ = notePlaylistDocumentWritten(playlistDirectory);
    }

    if (!expanded["slides"].empty()) {
        const MediaDestination destination{&queue, sharedDefaults().httpScheme + "://" + options.serviceHost,
                                           playlistDirectory, downloadGroupId};
        content->slides = readSlides(expanded["slides"], destination);
    }
    content->tickerMessages = readTickerMessages(document["ticker"]);

    if (!startup || empty) return;
    while (!queue.waitForGroup(downloadGroupId, groupWaitSliceMs)) throwIfStopped();
    const bool succeeded = queue.groupSucceeded(downloadGroupId);
    queue.eraseGroup(downloadGroupId);
    downloadGroupId = 0;
    if (!succeeded) throw std::runtime_error("Playlist assets failed validation");
    switch (activateLink()) {
        case Activation::Done:
            break;
        case Activation::Refused:
            throw std::runtime_error("Failed to activate startup playlist");
        case Activation::LeftToNewer:
            // The service's playlist was activated while this one waited for its media: the link
            // stays on it, so the next start shows it too.
            logLine(std::cout, ansi::BOLD_GREEN, "[PLAYLIST]", " A newer playlist is already active");
            break;
    }
}

}  // namespace lumetta
