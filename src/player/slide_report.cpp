#include "player/slide_report.h"

#include <json/value.h>

#include <iostream>
#include <utility>

#include "core/log.h"
#include "link/outgoing_messages.h"

namespace lumetta::player {

std::string transitionStatusJson(const std::string& uptime, const std::string& slideId) {
    Json::Value root(Json::objectValue);
    root["type"] = "transition";
    root["data"]["uptime"] = uptime;
    root["data"]["slide"] = slideId;
    return toCompactJson(root);
}

SlideReporter::SlideReporter(bool linkGiven, Uptime uptime, Send send)
    : linkGiven_(linkGiven),
      uptime_(std::move(uptime)),
      send_(send ? std::move(send) : Send([](const std::string& json) { return lumetta::sendTransitionStatus(json); })) {}

void SlideReporter::reportSlideChange(const std::string& slideId, bool force) {
    if (!linkGiven_ || !groupScheduleSettled) return;
    if (!force && slideId == lastReportedId_) return;
    lastReportedId_ = slideId;
    sendTransitionStatus(uptime_ ? uptime_() : std::string(), slideId);
}

bool SlideReporter::sendTransitionStatus(const std::string& uptime, const std::string& slideId) {
    if (send_(transitionStatusJson(uptime, slideId))) return true;
    logText(std::cerr, "[WEBSOCKET] Failed to queue transition status");
    return false;
}

}  // namespace lumetta::player
