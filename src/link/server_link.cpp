#include "link/server_link.h"

#include <ev.h>

#include <algorithm>
#include <chrono>
#include <exception>
#include <optional>
#include <thread>
#include <utility>
#include <vector>

#include "core/log.h"
#include "core/percent_encoding.h"
#include "device/command.h"
#include "link/reconnect_backoff.h"
#include "link/server_messages.h"
#include "link/status_heartbeat.h"
#include "platform/websocket.h"

namespace lumetta {

namespace {

// The layer's own time-out for an attempt, in seconds (ours, on the injected clock, is the same).
constexpr int layerConnectTimeoutSeconds = static_cast<int>(connectTimeoutMs / 1000);
// The back-off and the pause are slept in steps this long, so a stop is seen soon.
constexpr std::int64_t pauseStepMs = 100;

class ServerLink;
thread_local ServerLink* currentLink = nullptr;

class ServerLink {
public:
    ServerLink(const char* deviceId, const Command& command, const ServerLinkOptions& options)
        : options_(options),
          state_(*options.state),
          running_(*options.running),
          clock_(*options.clock),
          errors_(*options.errors),
          url_(serviceUrl(options.serviceHost, deviceId)),
          messages_(messageContext(command, options)),
          useMessages_(messages_) {
        job_.state = options.state;
        job_.mailbox = options.mailbox;
        job_.clock = options.jobClock;
        job_.baseDirectory = options.baseDirectory;
        job_.deviceId = deviceId;
        job_.load = options.playlistLoad;
        job_.errors = options.errors;
        heartbeat_.clock = options.jobClock;
        heartbeat_.linkOpen = &state_.linkOpen;
        heartbeat_.queue = options.queue;
        command_ = &command;
        currentLink = this;
    }

    ~ServerLink() { currentLink = nullptr; }

    ServerLink(const ServerLink&) = delete;
    ServerLink& operator=(const ServerLink&) = delete;

    void run() {
        try {
            state_.everConnected = false;
            state_.reconnected = false;
            jobThread_ = std::jthread([this](std::stop_token stop) { playlistDownloadJob(std::move(stop), job_); });
            heartbeatThread_ =
                std::jthread([this](std::stop_token stop) { webSocketHeartbeat(std::move(stop), *command_, heartbeat_); });
            attempts();
        } catch (const std::exception& error) {
            logThread(std::string(" Stopping after an unexpected failure: ") + error.what());
        } catch (...) {
            logThread(" Stopping after an unexpected failure");
        }
        exitSequence();
    }

    // ---- The layer's callbacks (on this thread, inside a turn of the loop) ----

    static void onOpen(WebSocketConnection*) {
        if (currentLink != nullptr) currentLink->opened();
    }

    static void onError(WebSocketConnection* connection, int code, const char* text) {
        if (currentLink != nullptr) currentLink->ended(connection, "Error", code, text);
    }

    static void onClose(WebSocketConnection* connection, int code, const char* text) {
        if (currentLink != nullptr) currentLink->ended(connection, "Close", code, text);
    }

private:
    enum class AttemptEnd { failed, notStarted, ended };

    static ServerMessageContext messageContext(const Command& command, const ServerLinkOptions& options) {
        ServerMessageContext context;
        context.state = options.state;
        context.running = options.running;
        context.factoryResetRequested = options.factoryResetRequested;
        context.baseDirectory = options.baseDirectory;
        context.command = &command;
        context.mailbox = options.mailbox;
        context.clock = options.clock;
        context.pushEvent = options.pushEvent;
        context.errors = options.errors;
        return context;
    }

    void logThread(const std::string& message) { logLine(errors_, ansi::BOLD_RED, "[WEBSOCKET]", message); }

    void attempts() {
        ReconnectBackoff backoff;
        while (running_.load()) {
            const AttemptEnd end = guardedAttempt();
            if (!running_.load()) return;
            ReconnectBackoff::Wait wait;
            if (end == AttemptEnd::failed) {
                wait = backoff.attemptEnded(std::nullopt);
            } else if (end == AttemptEnd::notStarted) {
                wait = backoff.connectionNotStarted();
            } else {
                const bool opened = state_.connectedThisAttempt.exchange(false);
                const std::int64_t openedAt = state_.openedAtMs.exchange(0);
                if (!running_.load()) return;
                std::optional<std::int64_t> openFor;
                if (opened && openedAt > 0) openFor = clock_.steadyMs() - openedAt;
                wait = backoff.attemptEnded(openFor);
            }
            if (!wait.message.empty()) logThread(wait.message);
            pause(wait.delayMs);
        }
    }

    // Sleeps on the clock in short steps until `milliseconds` passed or the player stops.
    void pause(std::int64_t milliseconds) {
        const std::int64_t deadline = clock_.steadyMs() + milliseconds;
        while (running_.load()) {
            const std::int64_t now = clock_.steadyMs();
            if (now >= deadline) return;
            clock_.sleepUntil(std::min(deadline, now + pauseStepMs));
        }
    }

    // An attempt that could not be made (no event loop, the descriptors used up for a moment)
    // or that threw counts as a failed attempt: the link backs off and tries again, and only the
    // player's stop ends it.
    AttemptEnd guardedAttempt() {
        try {
            return attempt();
        } catch (const std::exception& error) {
            logThread(std::string(" Connection attempt stopped by an unexpected failure: ") + error.what());
        } catch (...) {
            logThread(" Connection attempt stopped by an unexpected failure");
        }
        state_.linkOpen = false;
        state_.connectedThisAttempt = false;
        state_.openedAtMs = 0;
        return AttemptEnd::failed;
    }

    AttemptEnd attempt() {
        state_.breakRequested = false;
        state_.linkOpen = false;
        state_.connectedThisAttempt = false;
        state_.openedAtMs = 0;

        struct ev_loop* loop = options_.makeLoop();
        if (loop == nullptr) {
            logThread(" Failed to create event loop");
            return AttemptEnd::failed;
        }
        // The loop goes last, on every way out: the connection lives on it.
        const std::unique_ptr<struct ev_loop, void (*)(struct ev_loop*)> loopOwner(loop, ev_loop_destroy);
        {
            const std::lock_guard lock(state_.connectionMutex);
            WebSocketConnection* connection = options_.connect(loop, url_.c_str(), layerConnectTimeoutSeconds, 0);
            if (connection == nullptr) return AttemptEnd::notStarted;
            connection->onOpen = &ServerLink::onOpen;
            connection->onError = &ServerLink::onError;
            connection->onClose = &ServerLink::onClose;
            connection->onMessage = static_cast<WebSocketMessageCallback>(&handleServerMessage);
            state_.connection = connection;
        }
        struct CloseAtEnd {
            ServerLink& link;
            ~CloseAtEnd() {
                link.state_.linkOpen = false;
                link.closeConnection();
            }
        } closeAtEnd{*this};

        const std::int64_t attemptStartMs = clock_.steadyMs();
        ev_timer turnLimit;
        ev_timer_init(&turnLimit, [](struct ev_loop*, ev_timer*, int) {}, linkTurnMs / 1000.0, 0.0);

        while (running_.load() && !state_.breakRequested.load()) {
            turn(loop, turnLimit);
            if (state_.breakRequested.load()) break;
            if (!state_.linkOpen.load()) {
                const std::int64_t elapsed = clock_.steadyMs() - attemptStartMs;
                if (elapsed >= connectTimeoutMs) {
                    logThread(" Connection attempt timed out after " + std::to_string(elapsed / 1000) +
                              " seconds; reconnecting");
                    state_.linkOpen = false;
                    requestBreak();
                    break;
                }
            } else if (!sendTransition() || !sendQueuedFrame()) {
                break;
            }
            restBetweenTurns();
        }
        ev_timer_stop(loop, &turnLimit);
        return AttemptEnd::ended;
    }

    void turn(struct ev_loop* loop, ev_timer& turnLimit) {
        if (options_.polling == LinkPolling::sleep) {
            ev_run(loop, EVRUN_NOWAIT);
            return;
        }
        // One turn that returns as soon as something happened, or when the timer fires.
        ev_timer_set(&turnLimit, linkTurnMs / 1000.0, 0.0);
        ev_timer_start(loop, &turnLimit);
        ev_run(loop, EVRUN_ONCE);
        ev_timer_stop(loop, &turnLimit);
    }

    void restBetweenTurns() {
        if (options_.polling == LinkPolling::sleep) std::this_thread::sleep_for(std::chrono::milliseconds(linkTurnMs));
    }

    // Ends the current attempt: the loop's turn returns and no message is handled any more.
    void requestBreak() {
        if (state_.breakRequested.exchange(true)) return;
        const std::lock_guard lock(state_.connectionMutex);
        if (state_.connection != nullptr && state_.connection->loop != nullptr) {
            ev_break(state_.connection->loop, EVBREAK_ALL);
        }
    }

    // Sends `frame` on the connection; false when it was refused or there is none.
    bool send(const std::string& frame) {
        const std::lock_guard lock(state_.connectionMutex);
        WebSocketConnection* connection = state_.connection;
        if (connection == nullptr || connection->send == nullptr) return false;
        return connection->send(connection, frame.data(), static_cast<std::uint32_t>(frame.size()), kWebSocketText) >= 0;
    }

    bool sendTransition() {
        const std::optional<TransitionReport> report = options_.transition->unsent();
        if (!report) return true;
        if (!send(report->text)) {
            logThread(" Failed to send transition; reconnecting");
            state_.linkOpen = false;
            requestBreak();
            return false;
        }
        // A newer report stored meanwhile stays unsent and goes out in a later turn.
        options_.transition->markSent(report->sequence);
        return true;
    }

    bool sendQueuedFrame() {
        const std::optional<PlayerMessage> frame = options_.queue->copyOldest();
        if (!frame) return true;
        if (!send(*frame)) {
            // The frame stays first in the queue for the next connection.
            logThread(" Failed to send queued message; reconnecting");
            state_.linkOpen = false;
            requestBreak();
            return false;
        }
        options_.queue->removeSent(*frame);
        return true;
    }

    void closeConnection() {
        const std::lock_guard lock(state_.connectionMutex);
        WebSocketConnection* connection = std::exchange(state_.connection, nullptr);
        if (connection == nullptr) return;
        connection->onOpen = nullptr;
        connection->onError = nullptr;
        connection->onClose = nullptr;
        connection->onMessage = nullptr;
        if (connection->close != nullptr) connection->close(connection);
        releaseWebSocket(connection);
    }

    void opened() {
        state_.openedAtMs = std::max<std::int64_t>(clock_.steadyMs(), 1);
        state_.connectedThisAttempt = true;
        if (state_.linkOpen.exchange(true)) return;
        if (state_.everConnected.exchange(true)) state_.reconnected = true;
        // The latest transition report goes out again on every new connection.
        options_.transition->connectionOpened();
    }

    void ended(WebSocketConnection* connection, const char* what, int code, const char* text) {
        logText(errors_, colored(ansi::BOLD_RED, std::string("[WEBSOCKET] ") + what + ": " + std::to_string(code) + " " +
                                                     (text != nullptr ? text : "")));
        state_.linkOpen = false;
        if (!state_.breakRequested.exchange(true) && connection != nullptr && connection->loop != nullptr) {
            ev_break(connection->loop, EVBREAK_ALL);
        }
    }

    void exitSequence() {
        state_.linkOpen = false;
        state_.connectedThisAttempt = false;
        state_.openedAtMs = 0;
        state_.breakRequested = true;
        wakePlaylistUpdateWaiters(state_);
        closeConnection();
        if (jobThread_.joinable()) {
            jobThread_.request_stop();  // its waits on the mailbox watch the stop token
            jobThread_.join();
        }
        clearPlaylistHandOver(state_);
        std::vector<AvailablePlaylist> offered;
        {
            const auto lock = lockWebSocketState();
            offered = std::exchange(state_.availablePlaylists, {});
        }
        if (heartbeatThread_.joinable()) {
            heartbeatThread_.request_stop();
            heartbeatThread_.join();
        }
    }

    const ServerLinkOptions& options_;
    ServerLinkState& state_;
    std::atomic<bool>& running_;
    Clock& clock_;
    std::ostream& errors_;
    const std::string url_;
    const Command* command_ = nullptr;
    PlaylistJobOptions job_;
    StatusHeartbeatOptions heartbeat_;
    const ServerMessageContext messages_;
    ScopedServerMessageContext useMessages_;
    std::jthread jobThread_;
    std::jthread heartbeatThread_;
};

}  // namespace

struct ev_loop* newEventLoop() { return ev_loop_new(0); }

std::string serviceUrl(const std::string& host, std::string_view deviceId) {
    return sharedDefaults().webSocketScheme + "://" + host + "/ws?d=" + encodeDeviceIdForUrl(deviceId);
}

int webSocket(void* deviceIdText, const Command& command) {
    return webSocket(deviceIdText, command, ServerLinkOptions{});
}

int webSocket(void* deviceIdText, const Command& command, const ServerLinkOptions& options) {
    if (deviceIdText == nullptr) {
        logLine(*options.errors, ansi::BOLD_RED, "[WEBSOCKET]", " Invalid data pointer");
        return -1;
    }
    ServerLinkState& state = *options.state;
    bool idle = false;
    if (!state.threadRunning.compare_exchange_strong(idle, true)) {
        logLine(*options.errors, ansi::BOLD_RED, "[WEBSOCKET]", " WebSocket thread is already running");
        return -1;
    }
    try {
        ServerLink link(static_cast<const char*>(deviceIdText), command, options);
        link.run();
    } catch (const std::exception& error) {
        // Only building the link can get here (its texts and options are copied).
        logLine(*options.errors, ansi::BOLD_RED, "[WEBSOCKET]", std::string(" Could not start: ") + error.what());
    } catch (...) {
        logLine(*options.errors, ansi::BOLD_RED, "[WEBSOCKET]", " Could not start");
    }
    state.threadRunning = false;
    return 0;
}

}  // namespace lumetta
