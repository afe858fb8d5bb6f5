#include "player/device_report.h"

#include <algorithm>
#include <charconv>
#include <cmath>

#include "core/config_store.h"
#include "core/program_entry.h"
#include "device/command.h"
#include "wifi/wpa_control.h"

namespace lumetta::player {

namespace {

// Leading spaces allowed, then decimal digits; anything else (or a negative count) is no core.
int parseCoreCount(const std::string& text) {
    std::size_t start = text.find_first_not_of(" \t\r\n");
    if (start == std::string::npos) return 0;
    long long value = 0;
    const auto [end, error] = std::from_chars(text.data() + start, text.data() + text.size(), value, 10);
    (void)end;
    if (error != std::errc{} || value <= 0) return 0;
    // The count comes from the system; a text claiming billions of cores must not build billions
    // of entries.
    return static_cast<int>(std::min<long long>(value, maxReportedCores));
}

Json::Value screenObject(const ReportedScreen& screen) {
    Json::Value object(Json::objectValue);
    object["width"] = screen.width;
    object["height"] = screen.height;
    Json::Value available(Json::arrayValue);
    bool currentTaken = false;
    for (const DisplayMode& mode : screen.modes) {
        if (mode.current && !currentTaken) {
            object["currentDisplayMode"] = formatDisplayMode(mode);
            currentTaken = true;
        } else {
            available.append(formatDisplayMode(mode));
        }
    }
    object["availableDisplayModes"] = available;
    return object;
}

}  // namespace

Json::Value deviceReportData(const Command& command, int orientation, const ReportedScreen& screen,
                             const std::string& configBase, const WirelessStatus& wireless) {
    Json::Value data(Json::objectValue);
    data["device"] = command.model();
    data["memory"] = command.memoryInfo();
    data["sdcard"] = command.sdCardSize();
    data["version"] = programVersion;
    data["os"] = command.osVersion();
    data["orientation"] = orientation;

    Json::Value processor(Json::objectValue);
    processor["scaling"] = command.cpuFrequencyPolicyText();
    Json::Value cores(Json::arrayValue);
    const int coreCount = parseCoreCount(command.cpuCount());
    for (int i = 0; i < coreCount; ++i) {
        Json::Value core(Json::objectValue);
        core["speed"] = command.coreFrequencyText(i);
        cores.append(core);
    }
    processor["cores"] = cores;
    data["processor"] = processor;

    Json::Value network(Json::objectValue);
    const std::string active = command.defaultRouteText();
    network["active"] = active;
    Json::Value addresses(Json::objectValue);
    addresses["MACAddress"] = command.macAddressText();
    addresses["IPv4"] = command.ipv4AddressText();
    addresses["IPv6"] = command.ipv6AddressText();
    if (!active.empty() && wireless.connectedSsid) {
        const bool isWireless = wireless.isWireless ? wireless.isWireless(active) : lumetta::interfaceIsWireless(active);
        if (isWireless) {
            const std::string ssid = wireless.connectedSsid();
            if (!ssid.empty()) addresses["SSID"] = ssid;
        }
    }
    network["network"] = addresses;
    data["network"] = network;

    data["screen"] = screenObject(screen);

    const std::string groupId = configString(configBase, "groupId");
    data["groupId"] = groupId.empty() ? Json::Value(Json::nullValue) : Json::Value(groupId);
    return data;
}

std::string deviceReportMessage(const Command& command, int orientation, const ReportedScreen& screen,
                                const std::string& configBase, const WirelessStatus& wireless) {
    Json::Value message(Json::objectValue);
    message["type"] = "device";
    message["data"] = deviceReportData(command, orientation, screen, configBase, wireless);
    return toCompactJson(message);
}

void queueDeviceReport(const Command& command, int orientation, const ReportedScreen& screen,
                       const std::string& configBase, const WirelessStatus& wireless, OutgoingMessageQueue& queue) {
    queue.append(deviceReportMessage(command, orientation, screen, configBase, wireless));
}

DisplayModeRequestActions displayModeRequestActions(std::string configBase, const Command& command) {
    DisplayModeRequestActions actions;
    actions.store = [base = std::move(configBase)](const DisplayMode& mode) { return setConfigDisplayMode(base, mode); };
    actions.reboot = [&command] { command.reboot(); };
    return actions;
}

std::optional<DisplayMode> matchRequestedMode(const DisplayModeRequest& request, const std::vector<DisplayMode>& modes) {
    for (const DisplayMode& mode : modes) {
        if (mode.width != request.width || mode.height != request.height) continue;
        // In double: a request of 1e30 Hz or more must not turn into an overflowing difference.
        const double difference =
            std::fabs(static_cast<double>(mode.refreshRate) - static_cast<double>(request.refreshRate));
        if (difference < 0.01) return mode;
    }
    return std::nullopt;
}

std::optional<std::string> answerDisplayModeRequest(const DisplayModeRequest& request,
                                                    const std::vector<DisplayMode>& modes,
                                                    const DisplayModeRequestActions& actions,
                                                    OutgoingMessageQueue& queue) {
    if (!request.pending) return std::nullopt;
    Json::Value data(Json::objectValue);
    data["width"] = request.width;
    data["height"] = request.height;
    data["refreshRate"] = static_cast<double>(request.refreshRate);
    bool applied = false;
    const std::optional<DisplayMode> match = matchRequestedMode(request, modes);
    if (!match) {
        data["error"] = modeNotSupportedError;
    } else if (actions.store && actions.store(*match)) {
        applied = true;
        data["rebooting"] = true;
    } else {
        data["error"] = modeNotSavedError;
    }
    data["applied"] = applied;
    Json::Value message(Json::objectValue);
    message["type"] = "resolutionResult";
    message["data"] = data;
    std::string frame = toCompactJson(message);
    queue.append(frame);
    if (applied && actions.reboot) actions.reboot();
    return frame;
}

}  // namespace lumetta::player
