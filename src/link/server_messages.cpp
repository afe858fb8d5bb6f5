#include "link/server_messages.h"

#include <SDL3/SDL_error.h>
#include <SDL3/SDL_events.h>

#include <cmath>
#include <exception>
#include <limits>
#include <locale>
#include <memory>
#include <sstream>
#include <utility>
#include <vector>

#include <json/json.h>

#include "content/emergency_playlist.h"
#include "core/config_store.h"
#include "core/file_utils.h"
#include "core/log.h"
#include "core/shared_defaults.h"
#include "device/command.h"
#include "link/slide_sync_packet.h"

namespace lumetta {

namespace {

thread_local const ServerMessageContext* threadContext = nullptr;

// Why a member cannot be taken as the handler needs it, or nothing when it can.
using Refusal = std::optional<std::string>;

std::string kindName(const Json::Value& value) {
    switch (value.type()) {
    case Json::arrayValue:
        return "an array";
    case Json::objectValue:
        return "an object";
    case Json::stringValue:
        return "a string";
    default:
        return "of another kind";
    }
}

// The text of member `key` of the object `data` as jsoncpp gives it (numbers and booleans as
// their text, null as the empty text, `fallback` when missing). jsoncpp throws for arrays and
// objects; those are refused instead.
Refusal memberText(const Json::Value& data, const char* key, std::string& out, const std::string& fallback = {}) {
    const Json::Value* member = data.find(key, key + std::char_traits<char>::length(key));
    if (member == nullptr) {
        out = fallback;
        return std::nullopt;
    }
    if (member->isArray() || member->isObject()) return "\"" + std::string(key) + "\" is " + kindName(*member);
    out = member->asString();
    return std::nullopt;
}

// A switch as jsoncpp converts it: missing or null is false, a number is true unless zero.
// jsoncpp throws for texts, arrays and objects; those are refused instead.
Refusal memberFlag(const Json::Value& data, const char* key, bool& out) {
    const Json::Value* member = data.find(key, key + std::char_traits<char>::length(key));
    if (member == nullptr || member->isNull()) {
        out = false;
        return std::nullopt;
    }
    if (!member->isBool() && !member->isNumeric()) return "\"" + std::string(key) + "\" is " + kindName(*member);
    out = member->asBool();
    return std::nullopt;
}

const Json::Value* findMember(const Json::Value& object, const char* key) {
    return object.find(key, key + std::char_traits<char>::length(key));
}

class MessageRun {
public:
    MessageRun(const ServerMessageContext& context, const Json::Value& root, const std::string& type)
        : context_(context), state_(*context.state), errors_(*context.errors), root_(root), type_(type) {}

    void run() {
        if (type_ == "name") return name();
        if (type_ == "bindCode") return bindCodeMessage();
        if (type_ == "bindComplete") return bindComplete();
        if (type_ == "displayMode") return displayMode();
        if (type_ == "groupUpdate") return groupUpdate();
        if (type_ == "orientation") return orientation();
        if (type_ == "availablePlaylists") return availablePlaylistsMessage();
        if (type_ == "emergency") return emergency();
        if (type_ == "playlist") return playlist();
        if (type_ == "reboot") return reboot();
        if (type_ == "factoryReset") return factoryReset();
        if (type_ == "tv") return tv();
        log("[WEBSOCKET] Ignoring unknown message type: " + type_);
    }

private:
    void log(const std::string& line) const { logText(errors_, line); }

    void refuse(const std::string& reason) const { log("[WEBSOCKET] Ignoring " + type_ + " message: " + reason); }

    // The root's "data" member when it is an object, else null.
    const Json::Value* dataObject() const {
        const Json::Value* data = findMember(root_, "data");
        return data != nullptr && data->isObject() ? data : nullptr;
    }

    void name() {
        const Json::Value* data = findMember(root_, "data");
        if (data == nullptr || !data->isString()) return log("[WEBSOCKET] name has no valid string data");
        std::string value = data->asString();
        setDeviceName(value);
        if (!setConfigString(context_.baseDirectory, "name", value)) log("[WEBSOCKET] Error writing device name");
    }

    void bindCodeMessage() {
        const Json::Value* data = dataObject();
        if (data == nullptr) return log("[WEBSOCKET] bindCode has no valid data object");
        std::string code, qrCode, url;
        for (const Refusal& refusal :
             {memberText(*data, "code", code), memberText(*data, "qrCode", qrCode), memberText(*data, "url", url)}) {
            if (refusal) return refuse(*refusal);
        }
        const auto lock = lockWebSocketState();
        state_.bindCode = std::move(code);
        state_.bindQrCode = std::move(qrCode);
        state_.bindUrl = std::move(url);
    }

    void bindComplete() {
        const auto lock = lockWebSocketState();
        state_.bindComplete = true;
    }

    void displayMode() {
        const Json::Value* data = dataObject();
        const Json::Value* mode = data != nullptr ? findMember(*data, "displayMode") : nullptr;
        if (mode == nullptr || !mode->isString()) return log("[WEBSOCKET] displayMode has no valid mode data");
        const std::string text = mode->asString();
        const DisplayModeText read = readDisplayModeText(text);
        if (!read.valid) return log("[WEBSOCKET] invalid display mode: " + text);
        // The rate is kept as a float: one beyond its range counts as infinite.
        const double rate = read.refreshRate;
        if (read.width < 1 || read.height < 1 || !(rate > 0.0) || !std::isfinite(rate) ||
            rate > std::numeric_limits<float>::max()) {
            return log("[WEBSOCKET] display mode values must be positive");
        }
        const std::lock_guard lock(state_.displayModeMutex);
        state_.displayModeRequest = DisplayModeRequest{read.width, read.height, static_cast<float>(rate), true};
    }

    void groupUpdate() {
        const Json::Value* data = dataObject();
        const Json::Value* group = data != nullptr ? findMember(*data, "groupId") : nullptr;
        if (group == nullptr || !(group->isNull() || group->isString())) {
            return log("[WEBSOCKET] groupUpdate has no valid groupId");
        }
        if (group->isNull()) {
            if (!removeConfigKey(context_.baseDirectory, "groupId")) {
                return log("[WEBSOCKET] Error removing device from group");
            }
        } else if (!setConfigString(context_.baseDirectory, "groupId", group->asString())) {
            return log("[WEBSOCKET] Error adding device to group");
        }
        bumpGroupConfigGeneration();
        context_.pushEvent(groupChangedEvent, 0);
    }

    void orientation() {
        const Json::Value* data = findMember(root_, "data");
        if (data == nullptr || !data->isInt()) return log("[WEBSOCKET] orientation has no valid integer data");
        const int degrees = data->asInt();
        displayRotation.store(degrees);
        const std::string file = context_.baseDirectory + "/" + sharedDefaults().programDirectoryName + "/orientation";
        const bool written = writeFileAtomically(file, std::to_string(degrees) + "\n") &&
                             setConfigInt(context_.baseDirectory, "orientation", degrees);
        if (!written) log("[WEBSOCKET] Error writing orientation");
    }

    void availablePlaylistsMessage() {
        const Json::Value* data = dataObject();
        const Json::Value* list = data != nullptr ? findMember(*data, "playlists") : nullptr;
        if (list == nullptr || !list->isArray()) {
            return log("[WEBSOCKET] availablePlaylists has no valid data.playlists array");
        }
        std::vector<AvailablePlaylist> playlists;
        for (const Json::Value& entry : *list) {
            if (!entry.isObject()) {
                log("[WEBSOCKET] Ignoring non-object available playlist");
                continue;
            }
            const Json::Value* name = findMember(entry, "name");
            const Json::Value* id = findMember(entry, "id");
            if (name == nullptr || !name->isString() || id == nullptr || !id->isString()) {
                log("[WEBSOCKET] Ignoring invalid available playlist");
                continue;
            }
            AvailablePlaylist playlist{name->asString(), id->asString()};
            if (playlist.name.empty() || playlist.id.empty()) {
                log("[WEBSOCKET] Ignoring available playlist with an empty name or ID");
                continue;
            }
            playlists.push_back(std::move(playlist));
        }
        std::vector<AvailablePlaylist> replaced;
        {
            const auto lock = lockWebSocketState();
            replaced = std::exchange(state_.availablePlaylists, std::move(playlists));
        }
    }

    void emergency() {
        const Json::Value* data = dataObject();
        if (data == nullptr) return log("[WEBSOCKET] emergency has no valid data object");

        bool clear = false;
        if (const Refusal refusal = memberFlag(*data, "clear", clear)) return refuse(*refusal);
        if (clear) {
            voidOverrides();
            placePlaylistUpdate(PlaylistUpdate{nullptr, PlaylistUpdateKind::emergencyCleared, 0}, state_);
            context_.pushEvent(playlistReadyEvent, 0);
            return;
        }

        const Json::Value* expires = findMember(*data, "expiresAt");
        if (expires == nullptr || !expires->isInt64()) {
            return log("[WEBSOCKET] emergency requires expiresAt in Unix milliseconds");
        }
        const std::int64_t expiresAt = expires->asInt64();
        if (context_.clock->systemMs() >= expiresAt) return log("[WEBSOCKET] Ignoring expired emergency");

        const Json::Value* message = findMember(*data, "message");
        if (message != nullptr && message->isString() && !message->asString().empty()) {
            std::string text = message->asString();
            if (text.size() > maxEmergencyMessageBytes) {
                return log("[WEBSOCKET] Emergency message exceeds " + std::to_string(maxEmergencyMessageBytes) +
                           " bytes");
            }
            std::unique_ptr<Playlist> alert = buildEmergencyPlaylist(context_.baseDirectory, text);
            voidOverrides();
            placePlaylistUpdate(PlaylistUpdate{std::move(alert), PlaylistUpdateKind::emergency, expiresAt}, state_);
            context_.pushEvent(playlistReadyEvent, 0);
            return;
        }

        std::string name, sha1, id;
        for (const Refusal& refusal : {memberText(*data, "name", name, "Emergency Playlist"),
                                       memberText(*data, "sha1", sha1), memberText(*data, "id", id)}) {
            if (refusal) return refuse(*refusal);
        }
        if (id.empty() || sha1.empty()) {
            return log("[WEBSOCKET] Emergency requires a message or playlist id and SHA1");
        }
        {
            const auto lock = lockWebSocketState();
            state_.requestedPlaylistName = name;
        }
        context_.mailbox->queue(PlaylistJobRequest{name, sha1, id, 0, true, expiresAt, 0});
    }

    // A clear or an override given as a text ends every override by id that waits or is being
    // prepared: none of them may be handed over after this message's update. Voided first, then
    // placed (the job tests and places as one step).
    void voidOverrides() {
        const std::optional<PlaylistJobRequest> dropped = context_.mailbox->voidOverrides();
        if (!dropped) return;
        const auto lock = lockWebSocketState();
        if (state_.requestedPlaylistName == dropped->name) state_.requestedPlaylistName.clear();
    }

    void playlist() {
        const Json::Value* data = dataObject();
        if (data == nullptr) return log("[WEBSOCKET] playlist has no valid data object");

        std::string name, sha1, id;
        for (const Refusal& refusal :
             {memberText(*data, "name", name), memberText(*data, "sha1", sha1), memberText(*data, "id", id)}) {
            if (refusal) return refuse(*refusal);
        }
        std::int64_t activateAt = 0;
        const Json::Value* activate = findMember(*data, "activateAt");
        if (activate != nullptr && !activate->isNull()) {
            if (!activate->isInt64() || activate->asInt64() < 0) {
                return log("[WEBSOCKET] Ignoring playlist with invalid activateAt");
            }
            activateAt = activate->asInt64();
        }
        const std::int64_t nowMs = context_.clock->systemMs();
        if (sha1.empty()) return log("[WEBSOCKET] Ignoring playlist with no SHA1");

        {
            const auto lock = lockWebSocketState();
            PendingPlaylistRequest& pending = state_.pendingPlaylistRequest;
            const bool samePlaylist = pending.name == name && pending.sha1 == sha1;
            // Sent again without a time once the pending one is due: the playlist already plays.
            const bool alreadyDue = activateAt == 0 && pending.activateAt >= 1 && pending.activateAt <= nowMs;
            if (samePlaylist && (pending.activateAt == activateAt || alreadyDue)) return;
            pending = PendingPlaylistRequest{name, sha1, activateAt};
            state_.requestedPlaylistName = name;
        }
        context_.mailbox->queue(PlaylistJobRequest{name, sha1, id, activateAt, false, 0, 0});
    }

    void reboot() { context_.command->reboot(); }

    void factoryReset() {
        context_.factoryResetRequested->store(true);
        context_.running->store(false);
        if (!context_.pushEvent(SDL_EVENT_QUIT, 0)) {
            log(std::string("[FACTORY RESET] Failed to wake display loop: ") + SDL_GetError());
        }
    }

    void tv() {
        const Json::Value* data = dataObject();
        if (data == nullptr) return log("[WEBSOCKET] tv has no valid data object");
        std::string state;
        if (const Refusal refusal = memberText(*data, "state", state)) return refuse(*refusal);
        context_.command->setTvPower(state);
    }

    const ServerMessageContext& context_;
    ServerLinkState& state_;
    std::ostream& errors_;
    const Json::Value& root_;
    const std::string& type_;
};

void handleText(const std::string& text, const ServerMessageContext& context) {
    std::ostream& errors = *context.errors;
    Json::Value root;
    std::string parseErrors;
    bool parsed = false;
    try {
        Json::CharReaderBuilder builder;
        std::istringstream in(text);
        parsed = Json::parseFromStream(builder, in, &root, &parseErrors);
    } catch (const Json::Exception& error) {
        // The reader throws rather than reports at its nesting limit.
        parseErrors = error.what();
    }
    if (!parsed) {
        // The reader ends its report with line breaks of its own; the log line brings one.
        while (!parseErrors.empty() && (parseErrors.back() == '\n' || parseErrors.back() == '\r')) parseErrors.pop_back();
        logText(errors, "[WEBSOCKET] Invalid JSON structure: " + parseErrors);
        return;
    }
    if (!root.isObject()) {
        logText(errors, "[WEBSOCKET] JSON root is not an object");
        return;
    }
    const Json::Value* type = findMember(root, "type");
    if (type == nullptr || !type->isString()) {
        logText(errors, "[WEBSOCKET] Missing or invalid type field");
        return;
    }
    const std::string typeText = type->asString();
    MessageRun(context, root, typeText).run();
}

}  // namespace

void handleServerMessage(const char* bytes, std::uint32_t length, int kind, const ServerMessageContext& context) noexcept {
    try {
        if (!context.running->load() || context.state->breakRequested.load()) return;
        if (kind != 1 || bytes == nullptr || length < 2) return;
        handleText(std::string(bytes, length), context);
    } catch (const std::exception& error) {
        // A failure of our own (memory, a lock): the frame is lost, the link goes on.
        try {
            logText(*context.errors, std::string("[WEBSOCKET] Failed to handle message: ") + error.what());
        } catch (...) {
        }
    } catch (...) {
        try {
            logText(*context.errors, "[WEBSOCKET] Failed to handle message");
        } catch (...) {
        }
    }
}

void handleServerMessage(WebSocketConnection*, const char* bytes, std::uint32_t length, int kind) noexcept {
    if (threadContext != nullptr) handleServerMessage(bytes, length, kind, *threadContext);
}

ScopedServerMessageContext::ScopedServerMessageContext(const ServerMessageContext& context) : previous_(threadContext) {
    threadContext = &context;
}

ScopedServerMessageContext::~ScopedServerMessageContext() { threadContext = previous_; }

DisplayModeText readDisplayModeText(std::string_view text) {
    std::istringstream in{std::string(text)};
    in.imbue(std::locale::classic());
    DisplayModeText read;
    char times = 0;
    char at = 0;
    in >> read.width >> times >> read.height >> at >> read.refreshRate >> std::ws;
    read.valid = in.eof() && times == 'x' && at == '@';
    return read;
}

}  // namespace lumetta
