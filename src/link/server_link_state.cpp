#include "link/server_link_state.h"

#include <utility>

namespace lumetta {

std::mutex webSocketStateMutex;
ServerLinkState serverLinkState;

namespace {

// Longest stretch waitForPlaylistUpdate sleeps before it looks at the running flag again.
constexpr std::int64_t updateWaitSliceMs = 100;

bool updateWaiting(const ServerLinkState& state) {
    return state.waitingNormalUpdate.has_value() || state.waitingEmergencyUpdate.has_value();
}

// With the lock held.
PlaylistUpdate takeWaitingUpdate(ServerLinkState& state) {
    std::optional<PlaylistUpdate>& slot =
        state.waitingNormalUpdate ? state.waitingNormalUpdate : state.waitingEmergencyUpdate;
    if (!slot) return {};
    PlaylistUpdate update = std::move(*slot);
    slot.reset();
    return update;
}

}  // namespace

std::unique_lock<std::mutex> lockWebSocketState() { return std::unique_lock<std::mutex>(webSocketStateMutex); }

std::string bindCode() {
    const auto lock = lockWebSocketState();
    return serverLinkState.bindCode;
}

std::string bindQrCode() {
    const auto lock = lockWebSocketState();
    return serverLinkState.bindQrCode;
}

std::string bindUrl() {
    const auto lock = lockWebSocketState();
    return serverLinkState.bindUrl;
}

bool isBindComplete() {
    const auto lock = lockWebSocketState();
    return serverLinkState.bindComplete;
}

void storeBindCode(std::string code, std::string qrCode, std::string url) {
    const auto lock = lockWebSocketState();
    serverLinkState.bindCode = std::move(code);
    serverLinkState.bindQrCode = std::move(qrCode);
    serverLinkState.bindUrl = std::move(url);
}

void markBindComplete() {
    const auto lock = lockWebSocketState();
    serverLinkState.bindComplete = true;
}

std::string requestedPlaylistName(ServerLinkState& state) {
    const auto lock = lockWebSocketState();
    return state.requestedPlaylistName;
}

std::vector<AvailablePlaylist> availablePlaylists(ServerLinkState& state) {
    const auto lock = lockWebSocketState();
    return state.availablePlaylists;
}

int screenOrientation() { return displayRotation.load(); }

bool takeReconnected(ServerLinkState& state) { return state.reconnected.exchange(false); }

DisplayModeRequest takePendingDisplayMode(ServerLinkState& state) {
    const std::lock_guard lock(state.displayModeMutex);
    const DisplayModeRequest request = state.displayModeRequest;
    state.displayModeRequest.pending = false;
    return request;
}

void placePlaylistUpdate(PlaylistUpdate update, ServerLinkState& state) {
    std::optional<PlaylistUpdate> replaced;
    {
        const auto lock = lockWebSocketState();
        std::optional<PlaylistUpdate>& slot =
            update.kind == PlaylistUpdateKind::normal ? state.waitingNormalUpdate : state.waitingEmergencyUpdate;
        replaced = std::exchange(slot, std::move(update));
    }
    replaced.reset();
    state.playlistUpdateReady.notify_all();
}

PlaylistUpdate takePlaylistUpdate(ServerLinkState& state) {
    const auto lock = lockWebSocketState();
    return takeWaitingUpdate(state);
}

PlaylistUpdate waitForPlaylistUpdate(ServerLinkState& state, const std::atomic<bool>& running, Clock& clock) {
    auto lock = lockWebSocketState();
    const auto readyOrStopped = [&] { return updateWaiting(state) || !running.load(); };
    while (!readyOrStopped()) {
        // A slice, not one long wait: the thread that announces the stop may be gone already,
        // or its notification may fall between the test above and the wait.
        clock.waitUntil(state.playlistUpdateReady, lock, clock.steadyMs() + updateWaitSliceMs, {}, readyOrStopped);
    }
    if (!running.load()) return {};
    return takeWaitingUpdate(state);
}

void wakePlaylistUpdateWaiters(ServerLinkState& state) { state.playlistUpdateReady.notify_all(); }

void clearPlaylistHandOver(ServerLinkState& state) {
    std::optional<PlaylistUpdate> normal;
    std::optional<PlaylistUpdate> emergency;
    {
        const auto lock = lockWebSocketState();
        normal = std::move(state.waitingNormalUpdate);
        emergency = std::move(state.waitingEmergencyUpdate);
        state.waitingNormalUpdate.reset();
        state.waitingEmergencyUpdate.reset();
        state.pendingPlaylistRequest.name.clear();
        state.pendingPlaylistRequest.sha1.clear();
        state.requestedPlaylistName.clear();
    }
}

}  // namespace lumetta
