#pragma once
// What the player loop tells the management service about the device and its screen:
//   - the device report ("device"): hardware, software, network and screen, queued once when
//     the loop starts (only with a server link);
//   - the answer to a display mode the service asked for ("resolutionResult"): the mode is
//     checked against the display's modes, stored, and the device rebooted so that it takes
//     effect at the next start.
// Both are compact JSON frames ({"data":...,"type":...}) handed to the outgoing queue. A mode
// chosen in the on-screen resolution menu is handled by applyChosenMode (screens/menus.h).

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include <json/value.h>

#include "core/display_mode.h"
#include "link/outgoing_messages.h"
#include "link/server_link_state.h"

namespace lumetta {
class Command;
}

namespace lumetta::player {

// The screen as the report describes it.
struct ReportedScreen {
    int width = 0;
    int height = 0;
    std::vector<DisplayMode> modes;  // Display::availableModes, in its order
};

// Where the report learns whether the default-route interface is an associated Wi-Fi link.
struct WirelessStatus {
    // Whether the named interface is a wireless one. Empty: `interfaceIsWireless` (wifi/wpa_control.h)
    // on the machine's interfaces.
    std::function<bool(const std::string&)> isWireless;
    // The SSID of the current association as wpa_cli prints it, empty when not associated. Empty
    // function: nothing to ask; the report then carries no "SSID". The player loop asks
    // `connectedSsid` (wifi/wpa_control.h).
    std::function<std::string()> connectedSsid;
};

// The "data" object of the report. Reads the command's getters in the report's member order
// (some run shell commands). "cores" has one entry per core of `Command::cpuCount` (decimal;
// anything else counts as none, and at most maxReportedCores). "groupId" is the configured
// group under `configBase`, JSON null when there is none.
Json::Value deviceReportData(const Command& command, int orientation, const ReportedScreen& screen,
                             const std::string& configBase, const WirelessStatus& wireless);

// The whole frame, compact: {"data":{...},"type":"device"}.
std::string deviceReportMessage(const Command& command, int orientation, const ReportedScreen& screen,
                                const std::string& configBase, const WirelessStatus& wireless);

// Builds the report and appends it to `queue` (the result is not examined: a frame queued
// before the first connection waits there until it opens).
void queueDeviceReport(const Command& command, int orientation, const ReportedScreen& screen,
                       const std::string& configBase, const WirelessStatus& wireless = {},
                       OutgoingMessageQueue& queue = outgoingMessageQueue());

inline constexpr int maxReportedCores = 4096;

// What a display-mode request may do to the device.
struct DisplayModeRequestActions {
    std::function<bool(const DisplayMode&)> store;  // keep the mode for the next start
    std::function<void()> reboot;                   // its result does not matter
};

// The real actions: setConfigDisplayMode under `configBase`, and `command.reboot()`.
DisplayModeRequestActions displayModeRequestActions(std::string configBase, const Command& command);

// The mode of `modes` a request names: same width and height, refresh rates less than 0.01 Hz
// apart; the first such entry.
std::optional<DisplayMode> matchRequestedMode(const DisplayModeRequest& request, const std::vector<DisplayMode>& modes);

// Answers one request taken from the server link (nothing when it is not pending): stores the
// matching mode (its own refresh rate, not the requested one), queues the "resolutionResult"
// frame and, when stored, calls the reboot once. Returns the frame queued. The display is not
// switched: the stored mode is used at the next start.
std::optional<std::string> answerDisplayModeRequest(const DisplayModeRequest& request,
                                                    const std::vector<DisplayMode>& modes,
                                                    const DisplayModeRequestActions& actions,
                                                    OutgoingMessageQueue& queue = outgoingMessageQueue());

inline constexpr const char* modeNotSupportedError = "Mode is not supported by the connected display";
inline constexpr const char* modeNotSavedError = "Could not save display mode";

}  // namespace lumetta::player
