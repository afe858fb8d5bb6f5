#pragma once
// Tells the service which slide is on screen: one "transition" report per slide change, handed
// to the server link's transition register, which keeps the newest and sends it when it can.

#include <functional>
#include <string>

namespace lumetta::player {

// {"type":"transition","data":{"uptime":<uptime>,"slide":<slide id>}} without whitespace.
std::string transitionStatusJson(const std::string& uptime, const std::string& slideId);

class SlideReporter {
public:
    // Hands a report's text to the server link; false when it refused it. By default the
    // running player's transition register (sendTransitionStatus).
    using Send = std::function<bool(const std::string& statusJson)>;
    // The device's uptime text (Command::uptimeText).
    using Uptime = std::function<std::string()>;

    // Without a server link (`linkGiven` false) nothing is ever reported.
    SlideReporter(bool linkGiven, Uptime uptime, Send send = {});

    // Reports the slide on screen: only with a link and while the group schedule is settled, and
    // unless forced, only when the id differs from the last one reported.
    void reportSlideChange(const std::string& slideId, bool force);

    // Builds and hands over one report; a refusal is logged ("[WEBSOCKET] Failed to queue
    // transition status") and returned as false.
    bool sendTransitionStatus(const std::string& uptime, const std::string& slideId);

    const std::string& lastReportedId() const { return lastReportedId_; }

    // Whether the slide position is one the group agrees on, so reports tell the truth. Set from
    // the start: it only goes clear while group sync is configured and has not taken or
    // announced a position yet, and while the player has no usable network address.
    bool groupScheduleSettled = true;

private:
    bool linkGiven_;
    Uptime uptime_;
    Send send_;
    std::string lastReportedId_;
};

}  // namespace lumetta::player
