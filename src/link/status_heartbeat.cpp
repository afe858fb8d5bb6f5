#include "link/status_heartbeat.h"

#include <json/value.h>

namespace lumetta {

namespace {

constexpr std::int64_t statusIntervalMs = 30'000;
constexpr std::int64_t passIntervalMs = 100;

}  // namespace

void StatusHeartbeat::pass(bool linkOpen, std::int64_t nowMs) {
    if (linkOpen && !wasOpen_) {
        // A new connection: the first status is due in 30 seconds.
        dueMs_ = nowMs + statusIntervalMs;
    } else if (linkOpen && nowMs >= dueMs_) {
        Json::Value status(Json::objectValue);
        status["type"] = "status";
        status["data"]["temperature"] = command_.temperatureText();
        queue_.append(toCompactJson(status));
        dueMs_ = nowMs + statusIntervalMs;
    }
    wasOpen_ = linkOpen;
}

void webSocketHeartbeat(std::stop_token stop, const Command& command) {
    webSocketHeartbeat(std::move(stop), command, StatusHeartbeatOptions{});
}

void webSocketHeartbeat(std::stop_token stop, const Command& command, const StatusHeartbeatOptions& options) {
    Clock& clock = *options.clock;
    StatusHeartbeat heartbeat(command, *options.queue);
    while (!stop.stop_requested()) {
        heartbeat.pass(options.linkOpen->load(), clock.steadyMs());
        clock.sleepFor(passIntervalMs, stop);
    }
}

}  // namespace lumetta
