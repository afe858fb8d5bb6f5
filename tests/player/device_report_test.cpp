// The device report for a scripted device and display, and the answers to display modes the
// service asks for: the frames exactly as they are queued, what is stored, and when the device
// reboots.
#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <map>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include <json/json.h>

#include "core/config_store.h"
#include "device/command.h"
#include "link/outgoing_messages.h"
#include "link/server_link_state.h"
#include "player/device_report.h"
#include "support/fake_wpa.h"
#include "support/temp_dir.h"
#include "wifi/wpa_control.h"

namespace lumetta::player {
namespace {

using testing::TempDir;

class ScriptedSources : public TelemetrySources {
public:
    std::string cpuCount() override { return cores; }
    std::string cpuFrequencyPolicy() override { return "ondemand"; }
    std::string coreFrequency(std::int32_t core) override { return std::to_string(600 + 100 * core) + " MHz"; }
    std::string defaultRoute() override { return route; }
    std::string macAddress(const std::string&) override { return "dc:a6:32:01:02:03"; }
    std::string ipv4Address(const std::string&) override { return "10.0.0.7"; }
    std::string ipv6Address(const std::string&) override { return "fd00::7"; }

    std::string cores = "2";
    std::string route = "eth0";
};

DisplayMode mode(int width, int height, float rate, bool current = false) {
    DisplayMode m;
    m.width = width;
    m.height = height;
    m.refreshRate = rate;
    m.current = current;
    return m;
}

Json::Value parse(const std::string& text) {
    Json::Value value;
    Json::CharReaderBuilder builder;
    std::string errors;
    std::istringstream in(text);
    EXPECT_TRUE(Json::parseFromStream(builder, in, &value, &errors)) << errors;
    return value;
}

class DeviceReport : public ::testing::Test {
protected:
    Command& command() {
        if (!command_) {
            CommandSeams seams;
            seams.model = "Raspberry Pi 4 Model B Rev 1.4";
            seams.sources = &sources;
            seams.rebootAction = [this] {
                ++reboots;
                return std::string();
            };
            command_.emplace(seams);
        }
        return *command_;
    }

    // The frame with the facts read from the machine itself (memory, SD card, system) replaced
    // by fixed marks after checking them, so the rest can be compared as text.
    std::string normalised(const std::string& frame) {
        Json::Value value = parse(frame);
        EXPECT_EQ(value["data"]["memory"].asString(), command().memoryInfo());
        EXPECT_EQ(value["data"]["sdcard"].asString(), command().sdCardSize());
        EXPECT_EQ(value["data"]["os"].asString(), command().osVersion());
        value["data"]["memory"] = "M";
        value["data"]["sdcard"] = "S";
        value["data"]["os"] = "O";
        return toCompactJson(value);
    }

    void SetUp() override { std::filesystem::create_directories(base / "lumetta"); }

    TempDir base;
    ScriptedSources sources;
    int reboots = 0;
    std::optional<Command> command_;
};

TEST_F(DeviceReport, DescribesDeviceNetworkScreenAndGroup) {
    ASSERT_TRUE(setConfigString(base.str(), "groupId", "lobby"));
    const ReportedScreen screen{1920, 1080,
                                {mode(3840, 2160, 30.0f), mode(1920, 1080, 60.0f, true), mode(1280, 720, 59.94f),
                                 mode(1280, 720, 50.5f)}};
    const std::string frame = deviceReportMessage(command(), -90, screen, base.str(), WirelessStatus{});
    EXPECT_EQ(frame, toCompactJson(parse(frame))) << "not compact";
    EXPECT_EQ(normalised(frame),
              R"({"data":{"device":"Raspberry Pi 4 Model B Rev 1.4","groupId":"lobby","memory":"M",)"
              R"("network":{"active":"eth0","network":{"IPv4":"10.0.0.7","IPv6":"fd00::7",)"
              R"("MACAddress":"dc:a6:32:01:02:03"}},"orientation":-90,"os":"O",)"
              R"("processor":{"cores":[{"speed":"600 MHz"},{"speed":"700 MHz"}],"scaling":"ondemand"},)"
              R"("screen":{"availableDisplayModes":["3840x2160@30","1280x720@59.94","1280x720@50.50"],)"
              R"("currentDisplayMode":"1920x1080@60","height":1080,"width":1920},"sdcard":"S",)"
              R"("version":"39.21.0"},"type":"device"})");
}

TEST_F(DeviceReport, OneModeNoGroupAndOddCoreCounts) {
    struct Case {
        std::string cores;
        std::size_t expected;
    };
    for (const Case& c : std::vector<Case>{{"4", 4}, {" 3\n", 3}, {"abc", 0}, {"", 0}, {"-3", 0}, {"0", 0},
                                           {"99999999999999999999", 0}, {"123456789", maxReportedCores}}) {
        sources.cores = c.cores;
        command_.reset();
        const Json::Value data = parse(deviceReportMessage(command(), 0, ReportedScreen{1280, 720,
                                                                  {mode(1280, 720, 60.0f, true)}},
                                                           base.str(), {}))["data"];
        EXPECT_EQ(data["processor"]["cores"].size(), c.expected) << "cpuCount \"" << c.cores << "\"";
        EXPECT_TRUE(data["groupId"].isNull());
        EXPECT_EQ(toCompactJson(data["screen"]),
                  R"({"availableDisplayModes":[],"currentDisplayMode":"1280x720@60","height":720,"width":1280})");
    }

    // No mode in use and no modes at all: no "currentDisplayMode", the list still present.
    const Json::Value none = parse(deviceReportMessage(command(), 0, ReportedScreen{640, 480, {mode(640, 480, 60.0f)}},
                                                       base.str(), {}))["data"]["screen"];
    EXPECT_FALSE(none.isMember("currentDisplayMode"));
    EXPECT_EQ(toCompactJson(none["availableDisplayModes"]), R"(["640x480@60"])");
    const Json::Value empty =
        parse(deviceReportMessage(command(), 0, ReportedScreen{}, base.str(), {}))["data"]["screen"];
    EXPECT_EQ(toCompactJson(empty), R"({"availableDisplayModes":[],"height":0,"width":0})");
}

TEST_F(DeviceReport, SsidOnlyForAnAssociatedWirelessDefaultRoute) {
    struct Case {
        const char* name;
        std::string route;
        std::optional<bool> wireless;      // none: no interface test handed in
        std::optional<std::string> ssid;   // none: no SSID source handed in
        std::optional<std::string> expected;
    };
    const std::vector<Case> cases = {
        {"wireless and associated", "wlan0", true, "Cafe \"Nord\"", "Cafe \"Nord\""},
        {"wired", "eth0", false, "Cafe", std::nullopt},
        {"wireless, not associated", "wlan0", true, "", std::nullopt},
        {"no default route", "", true, "Cafe", std::nullopt},
        {"no Wi-Fi status to ask", "wlan0", true, std::nullopt, std::nullopt},
        // The real interface test: a name that leaves /sys/class/net is never wireless.
        {"path-like route name", "../../..", std::nullopt, "Cafe", std::nullopt},
    };
    for (const Case& c : cases) {
        sources.route = c.route;
        command_.reset();
        int ssidQueries = 0;
        WirelessStatus wireless;
        if (c.wireless) wireless.isWireless = [&c](const std::string& name) {
            EXPECT_EQ(name, c.route);
            return *c.wireless;
        };
        if (c.ssid) wireless.connectedSsid = [&] {
            ++ssidQueries;
            return *c.ssid;
        };
        std::atomic<bool> running{true};
        OutgoingMessageQueue queue(running);
        queueDeviceReport(command(), 0, ReportedScreen{}, base.str(), wireless, queue);
        ASSERT_EQ(queue.size(), 1u) << c.name;
        const Json::Value network = parse(*queue.copyOldest())["data"]["network"];
        EXPECT_EQ(network["active"].asString(), c.route) << c.name;
        if (c.expected) {
            EXPECT_EQ(network["network"]["SSID"].asString(), *c.expected) << c.name;
        } else {
            EXPECT_FALSE(network["network"].isMember("SSID")) << c.name;
        }
        if (c.route.empty() || (c.wireless && !*c.wireless)) {
            EXPECT_EQ(ssidQueries, 0) << c.name;
        }
    }
}

// The report's SSID comes from wpa_supplicant's "status" through the real wpa_cli runner (the
// fake client), on the interface the machine's net directory marks as wireless.
TEST_F(DeviceReport, TheSsidComesFromTheStatusOfTheWirelessRoute) {
    ASSERT_TRUE(testing::resolvesToFake("wpa_cli")) << "wpa_cli on PATH is not the fake tool";
    testing::FakeWpa wpa("wlp1s0");
    wpa.answer("status", {.out = testing::statusAnswer("caf\\xc3\\xa9 \\\"N\\\"")});
    WirelessStatus wireless;
    wireless.isWireless = [&](const std::string& name) { return interfaceIsWireless(name, wpa.system); };
    wireless.connectedSsid = [&] { return connectedSsid(wpa.system); };
    for (const std::string route : {"wlp1s0", "lo"}) {
        sources.route = route;
        command_.reset();
        const Json::Value addresses =
            parse(deviceReportMessage(command(), 0, ReportedScreen{}, base.str(), wireless))["data"]["network"]["network"];
        if (route == "lo") {
            EXPECT_FALSE(addresses.isMember("SSID"));
        } else {
            EXPECT_EQ(addresses["SSID"].asString(), "caf\\xc3\\xa9 \\\"N\\\"");  // as wpa_cli prints it
        }
    }
    EXPECT_EQ(wpa.commands(), std::vector<std::string>{"status"});
}

// ---- Display-mode requests ------------------------------------------------------------------

class DisplayModeRequests : public DeviceReport {
protected:
    // The display's modes: the one in use reports 59.995 Hz.
    const std::vector<DisplayMode> modes = {mode(1920, 1080, 59.995f, true), mode(1920, 1080, 50.0f),
                                            mode(1280, 720, 59.94f)};

    DisplayModeRequest request(int width, int height, float rate) { return {width, height, rate, true}; }

    std::optional<std::string> answer(const DisplayModeRequest& r, bool storeSucceeds = true) {
        DisplayModeRequestActions actions;
        actions.store = [&, storeSucceeds](const DisplayMode& m) {
            stored.push_back(m);
            return storeSucceeds;
        };
        actions.reboot = [this] { ++reboots; };
        return answerDisplayModeRequest(r, modes, actions, queue);
    }

    std::atomic<bool> running{true};
    OutgoingMessageQueue queue{running};
    std::vector<DisplayMode> stored;
};

TEST_F(DisplayModeRequests, UnsupportedModesAreRefusedWithoutStoringOrRebooting) {
    const std::vector<DisplayModeRequest> refused = {
        request(1920, 1080, 59.98f),  // 0.015 Hz from the offered 59.995
        request(1920, 1080, 30.0f),   request(1280, 1080, 60.0f), request(1920, 720, 60.0f),
        request(0, 0, 0.0f),          request(100000, 100000, 60.0f), request(1280, 720, 1e30f),
        request(-1920, -1080, 60.0f),
    };
    for (const DisplayModeRequest& r : refused) {
        const std::optional<std::string> frame = answer(r);
        ASSERT_TRUE(frame) << r.width << "x" << r.height << "@" << r.refreshRate;
        const Json::Value data = parse(*frame)["data"];
        EXPECT_FALSE(data["applied"].asBool());
        EXPECT_EQ(data["error"].asString(), "Mode is not supported by the connected display");
        EXPECT_FALSE(data.isMember("rebooting"));
        EXPECT_EQ(data["width"].asInt(), r.width);
        EXPECT_EQ(data["height"].asInt(), r.height);
        EXPECT_EQ(data["refreshRate"].asDouble(), static_cast<double>(r.refreshRate));
    }
    EXPECT_EQ(queue.size(), refused.size());
    EXPECT_TRUE(stored.empty());
    EXPECT_EQ(reboots, 0);
    EXPECT_EQ(*answer(request(0, 0, 0.0f)),
              R"({"data":{"applied":false,"error":"Mode is not supported by the connected display",)"
              R"("height":0,"refreshRate":0.0,"width":0},"type":"resolutionResult"})");
}

TEST_F(DisplayModeRequests, AMatchingModeIsStoredWithTheDisplaysRateThenTheDeviceReboots) {
    const std::optional<std::string> frame = answer(request(1920, 1080, 60.0f));
    ASSERT_TRUE(frame);
    EXPECT_EQ(*frame, R"({"data":{"applied":true,"height":1080,"rebooting":true,"refreshRate":60.0,"width":1920},)"
                      R"("type":"resolutionResult"})");
    EXPECT_EQ(queue.copyOldest(), frame);
    ASSERT_EQ(stored.size(), 1u);
    EXPECT_EQ(stored[0].refreshRate, 59.995f) << "the display's own rate is stored, not the requested one";
    EXPECT_EQ(reboots, 1);

    // 59.94 matches its mode exactly; the request's float goes out widened to double.
    const std::optional<std::string> second = answer(request(1280, 720, 59.94f));
    ASSERT_TRUE(second);
    EXPECT_NE(second->find(R"("refreshRate":59.939998626708984,)"), std::string::npos) << *second;
    EXPECT_EQ(reboots, 2);
}

TEST_F(DisplayModeRequests, AFailedStoreIsReportedAndDoesNotReboot) {
    const std::optional<std::string> frame = answer(request(1920, 1080, 50.0f), false);
    ASSERT_TRUE(frame);
    EXPECT_EQ(*frame, R"({"data":{"applied":false,"error":"Could not save display mode","height":1080,)"
                      R"("refreshRate":50.0,"width":1920},"type":"resolutionResult"})");
    EXPECT_EQ(stored.size(), 1u);
    EXPECT_EQ(reboots, 0);
}

// Through the server link's slot and the real configuration store: a request is answered once,
// a newer one replaces one nobody took, and the stored mode is the display's.
TEST_F(DisplayModeRequests, TakenFromTheLinkAnsweredOnceAndStoredInTheConfiguration) {
    ServerLinkState state;
    const auto place = [&](DisplayModeRequest r) {
        std::lock_guard lock(state.displayModeMutex);
        state.displayModeRequest = r;
    };
    const DisplayModeRequestActions actions = displayModeRequestActions(base.str(), command());
    place(request(1280, 720, 30.0f));
    place(request(1920, 1080, 60.0f));
    EXPECT_TRUE(answerDisplayModeRequest(takePendingDisplayMode(state), modes, actions, queue));
    EXPECT_FALSE(answerDisplayModeRequest(takePendingDisplayMode(state), modes, actions, queue));
    EXPECT_EQ(queue.size(), 1u);
    EXPECT_EQ(reboots, 1);
    const std::optional<DisplayMode> kept = configDisplayMode(base.str());
    ASSERT_TRUE(kept);
    EXPECT_EQ(kept->width, 1920);
    EXPECT_EQ(kept->height, 1080);
    EXPECT_EQ(configString(base.str(), "displayMode"), "1920x1080@60");
}

}  // namespace
}  // namespace lumetta::player
