// The pairing procedure run for real on the fake bluetoothctl and systemctl, on a manual clock
// whose pauses pass at once.
#include "device/bluetooth_pairing.h"

#include <gtest/gtest.h>
#include <signal.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <future>
#include <memory>
#include <mutex>
#include <new>
#include <optional>
#include <system_error>
#include <thread>

#include "support/fake_tools.h"
#include "support/manual_clock.h"
#include "support/process_hygiene.h"
#include "support/temp_dir.h"

namespace lumetta {
namespace {

using testing::FakeAnswer;
using testing::FakeTools;
using Lines = std::vector<std::string>;
using namespace std::string_literals;

constexpr auto ceiling = std::chrono::seconds(60);

const std::string remote = "AA:BB:CC:DD:EE:01";
const std::string other = "AA:BB:CC:DD:EE:02";

// The fake's keys (the arguments) and log lines ("bluetoothctl " and the arguments).
const std::string powerOnKey = "--timeout 5 power on";
const std::string pairableOnKey = "--timeout 5 pairable on";
const std::string pairableOffKey = "--timeout 5 pairable off";
const std::string scanKey = "--timeout 30 scan on";
const std::string devicesKey = "--timeout 3 devices";
const std::string showKey = "--timeout 3 show";
std::string searchInfoKey(const std::string& address) { return "--timeout 3 info " + address; }
std::string verifyInfoKey(const std::string& address) { return "info " + address; }
std::string removeKey(const std::string& address) { return "remove " + address; }
std::string pairKey(const std::string& address) { return "--agent NoInputNoOutput --timeout 20 pair " + address; }
std::string trustKey(const std::string& address) { return "trust " + address; }
std::string connectKey(const std::string& address) { return "--timeout 10 connect " + address; }
std::string call(const std::string& key) { return "bluetoothctl " + key; }

// The clean-up after a failure, with a healthy adapter.
Lines reset(const std::string& address) {
    Lines lines{call(showKey)};
    if (!address.empty()) lines.push_back(call("--timeout 5 remove " + address));
    lines.push_back(call(powerOnKey));
    lines.push_back(call(pairableOffKey));
    return lines;
}
Lines operator+(Lines a, const Lines& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}
Lines times(int n, const Lines& lines) {
    Lines all;
    for (int i = 0; i < n; ++i) all = all + lines;
    return all;
}

struct Properties {
    bool icon = true;  // "Icon: input-gaming"
    bool hid = true;   // the HID service among the UUIDs
    bool paired = false;
    bool bonded = false;
    bool trusted = false;
    bool connected = false;
};

// A device as `bluetoothctl info` describes it.
std::string info(const std::string& address, const std::string& name, const Properties& p) {
    const auto yes = [](bool on) { return on ? "yes" : "no"; };
    std::string text = "Device " + address + " (public)\n\tName: " + name + "\n\tAlias: " + name +
                       "\n\tClass: 0x00002508\n";
    if (p.icon) text += "\tIcon: input-gaming\n";
    text += std::string("\tPaired: ") + yes(p.paired) + "\n\tBonded: " + yes(p.bonded) + "\n\tTrusted: " +
            yes(p.trusted) + "\n\tBlocked: no\n\tConnected: " + yes(p.connected) + "\n\tLegacyPairing: no\n";
    text += "\tUUID: Generic Access Profile      (00001800-0000-1000-8000-00805f9b34fb)\n";
    if (p.hid) text += "\tUUID: Human Interface Device... (00001124-0000-1000-8000-00805f9b34fb)\n";
    return text;
}
const Properties fresh{};
const Properties bondedOnly{.paired = true, .bonded = true};
const Properties done{.paired = true, .bonded = true, .trusted = true, .connected = true};

std::string listing(const std::vector<std::pair<std::string, std::string>>& devices) {
    std::string text;
    for (const auto& [address, name] : devices) text += "Device " + address + " " + name + "\n";
    return text;
}

std::string inputDevice(const std::string& name) {
    return "I: Bus=0005 Vendor=054c Product=0268 Version=0100\nN: Name=\"" + name + "\"\nP: Phys=11:22:33:44:55:66\n\n";
}

// A manual clock whose pauses pass at once (each moves the time to its end) and are recorded;
// `onSleep` may throw in place of one.
class PauseClock final : public Clock {
public:
    PauseClock() { time_.setAutoAdvance(true); }
    std::int64_t systemMs() const override { return time_.systemMs(); }
    std::int64_t steadyMs() const override { return time_.steadyMs(); }
    bool sleepUntil(std::int64_t deadline, std::stop_token stop = {}) override {
        std::size_t number = 0;
        {
            std::lock_guard lock(mutex_);
            sleeps_.push_back(deadline - time_.steadyMs());
            number = sleeps_.size();
        }
        if (onSleep) onSleep(number);
        return time_.sleepUntil(deadline, std::move(stop));
    }
    bool waitUntil(std::condition_variable_any& cv, std::unique_lock<std::mutex>& lock, std::int64_t deadline,
                   std::stop_token stop, const std::function<bool()>& ready) override {
        return time_.waitUntil(cv, lock, deadline, std::move(stop), ready);
    }
    void advance(std::int64_t milliseconds) { time_.advance(milliseconds); }
    std::vector<std::int64_t> sleeps() const {
        std::lock_guard lock(mutex_);
        return sleeps_;
    }

    std::function<void(std::size_t number)> onSleep;

private:
    testing::ManualClock time_;
    mutable std::mutex mutex_;
    std::vector<std::int64_t> sleeps_;
};

// Every text a pairing posted, in order.
class Texts {
public:
    void operator()(const BluetoothPairingStatus& status) {
        std::lock_guard lock(mutex_);
        posted_.push_back(status);
    }
    std::vector<BluetoothPairingStatus> posted() const {
        std::lock_guard lock(mutex_);
        return posted_;
    }
    void clear() {
        std::lock_guard lock(mutex_);
        posted_.clear();
    }
    Lines texts() const {
        Lines all;
        for (const auto& status : posted()) all.push_back(status.text);
        return all;
    }

private:
    mutable std::mutex mutex_;
    std::vector<BluetoothPairingStatus> posted_;
};

// The fake log without the background scan's line (its place depends on the scan thread's pace),
// and how often the scan ran.
struct Calls {
    Lines log;
    int scans = 0;
};
Calls callsOf(const FakeTools& fakes) {
    Calls calls;
    for (auto& line : fakes.log()) {
        if (line == call(scanKey)) {
            ++calls.scans;
        } else {
            calls.log.push_back(std::move(line));
        }
    }
    return calls;
}

// A run of 120 children takes a while on a busy machine under a sanitizer.
bool waitUntilIdle(const BluetoothPairing& pairing) {
    const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(240);
    while (pairing.running()) {
        if (std::chrono::steady_clock::now() >= limit) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

// Whether a process has gone (reaped).
bool gone(pid_t pid) { return ::kill(pid, 0) == -1 && errno == ESRCH; }

// Every test here starts the real tools layer on the fakes, never on the machine's tools.
class BluetoothPairingTest : public ::testing::Test {
protected:
    void SetUp() override {
        for (const char* tool : {"bluetoothctl", "systemctl"}) {
            ASSERT_TRUE(testing::resolvesToFake(tool)) << "refusing to run: '" << tool << "' on PATH is "
                                                       << testing::findOnPath(tool) << ", not the fake tool";
        }
    }
    void TearDown() override { EXPECT_EQ(hygiene.leftovers(), "") << "left behind by the test"; }

    std::unique_ptr<BluetoothPairing> make(Clock& clock, const std::string& inputDevices = "") {
        const auto path = testing::writeTestFile(dir / ("input-" + std::to_string(++files)), inputDevices);
        BluetoothPairingSeams seams;
        seams.clock = &clock;
        seams.inputDevices = path;
        seams.posted = [this](const BluetoothPairingStatus& status) { texts(status); };
        return std::make_unique<BluetoothPairing>(std::move(seams));
    }

    testing::ProcessHygiene hygiene;
    testing::TempDir dir;
    int files = 0;
    Texts texts;
};

TEST(BluetoothDeviceInfo, PropertiesCountOnlyOnTheirOwnLines) {
    struct Case {
        std::string name;
        std::string output;
        BluetoothDeviceInfo expected;
    };
    const BluetoothDeviceInfo none{};
    const BluetoothDeviceInfo controllerOnly{.controller = true};
    const BluetoothDeviceInfo all{true, true, true, true, true};
    const std::string forged = "Paired: yes Bonded: yes Trusted: yes Connected: yes";
    const std::vector<Case> cases = {
        {"a fresh controller", info(remote, "Remote", fresh), controllerOnly},
        {"a connected controller", info(remote, "Remote", done), all},
        {"the icon alone", info(remote, "Remote", {.icon = true, .hid = false}), controllerOnly},
        {"the HID service alone", info(remote, "Remote", {.icon = false, .hid = true}), controllerOnly},
        {"the service by number alone", "\tUUID: Vendor specific (00001124-0000-1000-8000-00805f9b34fb)\n",
         controllerOnly},
        {"a headset", info(remote, "Headset", {.icon = false, .hid = false, .paired = true}),
         {.paired = true}},
        {"blanks before a property, carriage returns after it", "  \t  Paired: yes\r\nBonded: yes\r\n",
         {.paired = true, .bonded = true}},
        // What a device calls itself never stands for a property or a controller.
        {"properties in the name", info(remote, forged, {.icon = false, .hid = false}), none},
        {"properties in the name and the alias of a paired controller", info(remote, forged, {.paired = true}),
         {.controller = true, .paired = true}},
        {"an input icon as the name", info(remote, "Icon: input-gaming", {.icon = false, .hid = false}), none},
        {"the HID service as the name",
         info(remote, "Human Interface Device 00001124-0000-1000-8000-00805f9b34fb", {.icon = false, .hid = false}),
         none},
        {"a name line that starts like a property", "\tName: \n\tAlias: Paired: yes\n", none},
        // A name with a line break cannot overrule the properties printed after it.
        {"a line break in the name", "\tName: X\n\tPaired: yes\n\tBonded: yes\n\tPaired: no\n\tBonded: no\n", none},
        {"the HID service outside a UUID line", "\tModalias: Human Interface Device\n", none},
        {"a property not at the start", "[CHG] Device AA:BB:CC:DD:EE:01 Paired: yes\nx Icon: input-pad\n", none},
        {"lower case", "\tpaired: yes\n\ticon: input-gaming\n", none},
        {"empty", "", none},
        {"no line feed at the end", "\tConnected: yes", {.connected = true}},
        {"control bytes and a NUL", "\tName: \x01\x7f\0\n\tTrusted: yes\n"s, {.trusted = true}},
    };
    for (const Case& c : cases) {
        const BluetoothDeviceInfo got = readBluetoothDeviceInfo(c.output);
        EXPECT_EQ(got.controller, c.expected.controller) << c.name;
        EXPECT_EQ(got.paired, c.expected.paired) << c.name;
        EXPECT_EQ(got.bonded, c.expected.bonded) << c.name;
        EXPECT_EQ(got.trusted, c.expected.trusted) << c.name;
        EXPECT_EQ(got.connected, c.expected.connected) << c.name;
    }
}

// One run from start to its final text: what it posted, what it ran and how long it paused.
struct ScriptedAnswer {
    std::string key;
    std::vector<FakeAnswer> answers;  // one per call, the last repeating
};
struct ProcedureCase {
    std::string name;
    std::vector<ScriptedAnswer> answers;
    std::string inputDevices;
    Lines texts;
    Lines log;
    std::vector<std::int64_t> sleeps;
};

void PrintTo(const ProcedureCase& c, std::ostream* os) { *os << c.name; }

std::vector<ProcedureCase> procedureCases() {
    using Answer = ScriptedAnswer;
    const std::string searching = "Bluetooth: searching for hand controller...";
    const std::string pairingRemote = "Bluetooth: pairing with Remote...";
    const Lines prepare{call(powerOnKey), call(pairableOnKey)};
    const Lines emptySearch = times(40, {call(devicesKey)});
    const std::vector<std::int64_t> searchPauses(40, 300);
    const std::vector<std::int64_t> verificationPauses(60, 250);
    const Lines pairRemote{call(pairKey(remote)), call(trustKey(remote)), call(connectKey(remote))};
    const Lines connected{call(verifyInfoKey(remote)), call(pairableOffKey)};
    const Lines findRemote{call(devicesKey), call(searchInfoKey(remote))};
    const Answer remoteListed{devicesKey, {{.out = listing({{remote, "Remote"}})}}};
    const Answer remoteFresh{searchInfoKey(remote), {{.out = info(remote, "Remote", fresh)}}};
    const Answer remoteConnects{verifyInfoKey(remote), {{.out = info(remote, "Remote", done)}}};
    const std::string huge(1 << 20, 'x');  // all that is kept of an answer
    const std::string forged = "Paired: yes Bonded: yes Trusted: yes Connected: yes";

    return {
        {"the adapter does not power on",
         {{powerOnKey, {{.status = 1}, {}}}},
         "",
         {searching, "Bluetooth is unavailable"},
         Lines{call(powerOnKey)} + reset(""),
         {}},
        {"powering on prints a failure",
         {{powerOnKey, {{.out = "Failed to set power on: org.bluez.Error.Failed\n"}, {}}}},
         "",
         {searching, "Bluetooth is unavailable"},
         Lines{call(powerOnKey)} + reset(""),
         {}},
        {"the adapter does not become pairable",
         {{pairableOnKey, {{.status = 1}}}},
         "",
         {searching, "Bluetooth could not enter pairing mode"},
         prepare + reset(""),
         {}},
        {"nothing in range",
         {{devicesKey, {{.out = "No default controller available\n"}}}},
         "",
         {searching, "No Bluetooth hand controller found"},
         prepare + emptySearch + Lines{call(pairableOffKey)},
         searchPauses},
        // None of the markers: whatever the names say, nobody is chosen.
        {"devices that are not controllers",
         {{devicesKey, {{.out = listing({{remote, "Human Interface Device"}, {other, "Icon: input-gaming"}})}}},
          {searchInfoKey(remote), {{.out = info(remote, "Human Interface Device", {.icon = false, .hid = false})}}},
          {searchInfoKey(other), {{.out = info(other, "Icon: input-gaming", {.icon = false, .hid = false})}}}},
         "",
         {searching, "No Bluetooth hand controller found"},
         prepare + times(40, {call(devicesKey), call(searchInfoKey(remote)), call(searchInfoKey(other))}) +
             Lines{call(pairableOffKey)},
         searchPauses},
        // Info answers are read whatever they end with; one that is cut says nothing.
        {"info empty, cut or failing",
         {{devicesKey,
           {{.out = listing({{remote, "Remote"}})}, {.out = listing({{remote, "Remote"}})},
            {.out = listing({{remote, "Remote"}})}}},
          {searchInfoKey(remote),
           {{},
            {.out = huge + "\n" + info(remote, "Remote", fresh)},
            {.out = info(remote, "Remote", fresh), .status = 1}}},
          remoteConnects},
         inputDevice("Remote"),
         {searching, pairingRemote, "Bluetooth controller connected"},
         prepare + times(3, findRemote) + pairRemote + connected,
         {300, 300}},
        {"a new controller",
         {remoteListed, remoteFresh, remoteConnects},
         inputDevice("Remote"),
         {searching, pairingRemote, "Bluetooth controller connected"},
         prepare + findRemote + pairRemote + connected,
         {}},
        {"the input device known by its address",
         {remoteListed, remoteFresh, remoteConnects},
         "U: Uniq=aa:bb:cc:dd:ee:01\n",
         {searching, pairingRemote, "Bluetooth controller connected"},
         prepare + findRemote + pairRemote + connected,
         {}},
        // Bonded already: no remove, no pair, and no second listing.
        {"only a bonded controller",
         {remoteListed, {searchInfoKey(remote), {{.out = info(remote, "Remote", bondedOnly)}}}, remoteConnects},
         inputDevice("Remote"),
         {searching, pairingRemote, "Bluetooth controller connected"},
         prepare + findRemote + Lines{call(trustKey(remote)), call(connectKey(remote))} + connected,
         {}},
        {"a bonded controller listed twice",
         {{devicesKey, {{.out = listing({{remote, "Remote"}, {remote, "Remote"}})}}},
          {searchInfoKey(remote), {{.out = info(remote, "Remote", bondedOnly)}}},
          remoteConnects},
         inputDevice("Remote"),
         {searching, pairingRemote, "Bluetooth controller connected"},
         prepare + findRemote + Lines{call(searchInfoKey(remote)), call(trustKey(remote)), call(connectKey(remote))} +
             connected,
         {}},
        // The new controller wins whichever comes first; the walk ends at it.
        {"the bonded one listed first",
         {{devicesKey, {{.out = listing({{other, "Old"}, {remote, "Remote"}})}}},
          {searchInfoKey(other), {{.out = info(other, "Old", bondedOnly)}}},
          remoteFresh,
          remoteConnects},
         inputDevice("Remote"),
         {searching, pairingRemote, "Bluetooth controller connected"},
         prepare + Lines{call(devicesKey), call(searchInfoKey(other)), call(searchInfoKey(remote))} + pairRemote +
             connected,
         {}},
        {"the new one listed first",
         {{devicesKey, {{.out = listing({{remote, "Remote"}, {other, "Old"}})}}},
          {searchInfoKey(other), {{.out = info(other, "Old", bondedOnly)}}},
          remoteFresh,
          remoteConnects},
         inputDevice("Remote"),
         {searching, pairingRemote, "Bluetooth controller connected"},
         prepare + findRemote + pairRemote + connected,
         {}},
        // A bonded one seen in one pass is taken in the next without listing again, even when a
        // new one would have come by then.
        {"the bonded one seen alone",
         {{devicesKey, {{.out = listing({{other, "Old"}})}, {.out = listing({{remote, "Remote"}})}}},
          {searchInfoKey(other), {{.out = info(other, "Old", bondedOnly)}}},
          {verifyInfoKey(other), {{.out = info(other, "Old", done)}}}},
         inputDevice("Old"),
         {searching, "Bluetooth: pairing with Old...", "Bluetooth controller connected"},
         prepare + Lines{call(devicesKey), call(searchInfoKey(other)), call(trustKey(other)), call(connectKey(other)),
                         call(verifyInfoKey(other)), call(pairableOffKey)},
         {}},
        {"paired but not bonded",
         {remoteListed, {searchInfoKey(remote), {{.out = info(remote, "Remote", {.paired = true})}}}, remoteConnects},
         inputDevice("Remote"),
         {searching, pairingRemote, "Bluetooth controller connected"},
         prepare + findRemote + Lines{call(removeKey(remote))} + pairRemote + connected,
         {1000}},
        {"the half-made pairing cannot be removed",
         {remoteListed,
          {searchInfoKey(remote), {{.out = info(remote, "Remote", {.paired = true})}}},
          {removeKey(remote), {{.out = "Failed to remove device: org.bluez.Error.NotReady\n"}}}},
         "",
         {searching, pairingRemote, "Could not reset incomplete Bluetooth pairing"},
         prepare + findRemote + Lines{call(removeKey(remote))} + reset(remote),
         {}},
        {"pairing fails",
         {remoteListed, remoteFresh, {pairKey(remote), {{.out = "Failed to pair: org.bluez.Error.AuthenticationFailed\n"}}}},
         "",
         {searching, pairingRemote, "Bluetooth pairing failed; ready to try again"},
         prepare + findRemote + Lines{call(pairKey(remote))} + reset(remote),
         {}},
        // Both always run.
        {"trust fails",
         {remoteListed, remoteFresh, {trustKey(remote), {{.status = 1}}}},
         "",
         {searching, pairingRemote, "Bluetooth connection failed; ready to try again"},
         prepare + findRemote + pairRemote + reset(remote),
         {}},
        {"connect fails",
         {remoteListed, remoteFresh, {connectKey(remote), {{.out = "Failed to connect: org.bluez.Error.Failed\n"}}}},
         "",
         {searching, pairingRemote, "Bluetooth connection failed; ready to try again"},
         prepare + findRemote + pairRemote + reset(remote),
         {}},
        // Verification: 60 passes, one more look, then the device is removed.
        {"never bonded",
         {remoteListed, remoteFresh, {verifyInfoKey(remote), {{.out = info(remote, "Remote", {.paired = true})}}}},
         inputDevice("Remote"),
         {searching, pairingRemote, "Bluetooth was not authorized; ready to try again"},
         prepare + findRemote + pairRemote + times(61, {call(verifyInfoKey(remote))}) + reset(remote),
         verificationPauses},
        {"bonded with its input device, but never connected",
         {remoteListed, remoteFresh,
          {verifyInfoKey(remote), {{.out = info(remote, "Remote", {.paired = true, .bonded = true, .trusted = true})}}}},
         inputDevice("Remote"),
         {searching, pairingRemote, "Bluetooth verification failed; ready to try again"},
         prepare + findRemote + pairRemote + times(61, {call(verifyInfoKey(remote))}) + reset(remote),
         verificationPauses},
        {"connected, but no input device",
         {remoteListed, remoteFresh, remoteConnects},
         inputDevice("Someone Else"),
         {searching, pairingRemote, "Bluetooth HID failed; ready to try again"},
         prepare + findRemote + pairRemote + times(61, {call(verifyInfoKey(remote))}) + reset(remote),
         verificationPauses},
        // What a device calls itself is no property: not verified by its name...
        {"properties in the name",
         {{devicesKey, {{.out = listing({{remote, forged}})}}},
          {searchInfoKey(remote), {{.out = info(remote, forged, fresh)}}},
          {verifyInfoKey(remote), {{.out = info(remote, forged, fresh)}}}},
         inputDevice(forged),
         {searching, "Bluetooth: pairing with " + forged + "...", "Bluetooth was not authorized; ready to try again"},
         prepare + findRemote + pairRemote + times(61, {call(verifyInfoKey(remote))}) + reset(remote),
         verificationPauses},
        // ... and not a controller by it.
        {"a controller's icon as the name",
         {{devicesKey, {{.out = listing({{remote, "Icon: input-gaming"}})}}},
          {searchInfoKey(remote), {{.out = info(remote, "Icon: input-gaming", {.icon = false, .hid = false})}}}},
         "",
         {searching, "No Bluetooth hand controller found"},
         prepare + times(40, {call(devicesKey), call(searchInfoKey(remote))}) + Lines{call(pairableOffKey)},
         searchPauses},
    };
}

class BluetoothProcedure : public BluetoothPairingTest, public ::testing::WithParamInterface<ProcedureCase> {};

TEST_P(BluetoothProcedure, RunsToItsFinalText) {
    const ProcedureCase& c = GetParam();
    FakeTools fakes;
    fakes.answer("bluetoothctl", scanKey, {.out = "Discovery started\n", .waitForSignal = true});
    for (const ScriptedAnswer& a : c.answers) fakes.sequence("bluetoothctl", a.key, a.answers);
    PauseClock clock;
    auto pairing = make(clock, c.inputDevices);
    ASSERT_TRUE(pairing->start());
    ASSERT_TRUE(waitUntilIdle(*pairing));
    const BluetoothPairingStatus last = pairing->status();
    pairing.reset();

    EXPECT_EQ(texts.texts(), c.texts);
    EXPECT_EQ(last.text, c.texts.back());
    EXPECT_EQ(last.counter, c.texts.size());
    EXPECT_FALSE(last.inProgress);
    const auto posted = texts.posted();
    for (std::size_t i = 0; i < posted.size(); ++i) {
        EXPECT_EQ(posted[i].inProgress, i + 1 < posted.size()) << "only the last text is final: " << posted[i].text;
    }
    const Calls calls = callsOf(fakes);
    EXPECT_EQ(calls.log, c.log);
    const bool searched = c.log.size() > 2 && c.log[2] == call(devicesKey);
    // A scan stopped at once may end before it could log its call.
    EXPECT_LE(calls.scans, searched ? 1 : 0) << "at most one scan, and only for a run that searched";
    EXPECT_EQ(clock.sleeps(), c.sleeps);
}

INSTANTIATE_TEST_SUITE_P(Cases, BluetoothProcedure, ::testing::ValuesIn(procedureCases()),
                         [](const ::testing::TestParamInfo<ProcedureCase>& info) {
                             std::string name;
                             bool upper = true;
                             for (const char ch : info.param.name) {
                                 if (std::isalnum(static_cast<unsigned char>(ch)) == 0) {
                                     upper = true;
                                 } else {
                                     name += upper ? static_cast<char>(std::toupper(static_cast<unsigned char>(ch))) : ch;
                                     upper = false;
                                 }
                             }
                             return name;
                         });

TEST_F(BluetoothPairingTest, AStartDuringARunOnlyPostsANoticeAndTheCounterRunsOnAcrossRuns) {
    FakeTools fakes;
    fakes.answer("bluetoothctl", scanKey, {.waitForSignal = true});
    // The first run's power-on waits until its limit; the clean-up's and the next run's succeed.
    fakes.sequence("bluetoothctl", powerOnKey, {{.waitForSignal = true}, {}});
    fakes.answer("bluetoothctl", devicesKey, {.out = listing({{remote, "Remote"}})});
    fakes.answer("bluetoothctl", searchInfoKey(remote), {.out = info(remote, "Remote", fresh)});
    fakes.answer("bluetoothctl", pairKey(remote), {.waitForSignal = true});
    PauseClock clock;
    auto pairing = make(clock);

    EXPECT_FALSE(pairing->running());
    EXPECT_EQ(pairing->status().counter, 0u);
    EXPECT_EQ(pairing->status().text, "");
    ASSERT_TRUE(pairing->start());
    ASSERT_TRUE(fakes.waitUntilWaiting("bluetoothctl", powerOnKey));
    for (int i = 0; i < 100; ++i) EXPECT_FALSE(pairing->start());
    BluetoothPairingStatus status = pairing->status();
    EXPECT_EQ(status.text, "Bluetooth pairing already in progress");
    EXPECT_FALSE(status.inProgress);
    EXPECT_EQ(status.counter, 101u);
    EXPECT_TRUE(pairing->running()) << "the run goes on";

    clock.advance(35'000);  // the power-on's limit
    ASSERT_TRUE(waitUntilIdle(*pairing));
    EXPECT_EQ(pairing->status().text, "Bluetooth is unavailable");
    EXPECT_EQ(pairing->status().counter, 102u);

    // A new run at once: the old thread is joined first, and the counter goes on.
    ASSERT_TRUE(pairing->start());
    ASSERT_TRUE(fakes.waitUntilWaiting("bluetoothctl", pairKey(remote)));
    status = pairing->status();
    EXPECT_EQ(status.text, "Bluetooth: pairing with Remote...");
    EXPECT_TRUE(status.inProgress);
    EXPECT_EQ(status.counter, 104u);
    clock.advance(35'000);  // the pair command's limit
    ASSERT_TRUE(waitUntilIdle(*pairing));
    status = pairing->status();
    EXPECT_EQ(status.text, "Bluetooth pairing failed; ready to try again");
    EXPECT_EQ(status.counter, 105u);
    pairing.reset();
    EXPECT_EQ(texts.texts().size(), 105u);
}

// The background scan runs from the search until the search finds nothing, the controller is
// connected, or a failure: each time it has ended before the next command starts.
TEST_F(BluetoothPairingTest, TheScanEndsBeforeWhatFollowsTheSearchTheConnectionOrAFailure) {
    struct Case {
        std::string name;
        std::string devices;
        std::string pairAnswer;  // the pair command's output
        std::string next;        // the command that must find the scan gone
        std::int64_t nextLimitMs;
        std::string finalText;
    };
    const std::vector<Case> cases = {
        {"nothing found", "", "", pairableOffKey, 8000, "No Bluetooth hand controller found"},
        {"connected", listing({{remote, "Remote"}}), "", verifyInfoKey(remote), 35'000,
         "Bluetooth controller connected"},
        {"pairing failed", listing({{remote, "Remote"}}), "Failed to pair\n", showKey, 6000,
         "Bluetooth pairing failed; ready to try again"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        FakeTools fakes;
        fakes.answer("bluetoothctl", scanKey, {.out = "Discovery started\n", .waitForSignal = true});
        // The first listing waits until the scan runs, so the scan is sure to have started.
        fakes.sequence("bluetoothctl", devicesKey, {{.waitForSignal = true}, {.out = c.devices}});
        fakes.answer("bluetoothctl", searchInfoKey(remote), {.out = info(remote, "Remote", fresh)});
        fakes.answer("bluetoothctl", pairKey(remote), {.out = c.pairAnswer});
        fakes.answer("bluetoothctl", c.next, {.out = info(remote, "Remote", done), .waitForSignal = true});
        texts.clear();
        PauseClock clock;
        auto pairing = make(clock, inputDevice("Remote"));
        ASSERT_TRUE(pairing->start());
        ASSERT_TRUE(fakes.waitUntilWaiting("bluetoothctl", scanKey));
        ASSERT_TRUE(fakes.waitUntilWaiting("bluetoothctl", devicesKey));
        clock.advance(6000);  // the first listing's limit
        ASSERT_TRUE(fakes.waitUntilWaiting("bluetoothctl", c.next));
        const std::optional<pid_t> scan = fakes.pidOfCall("bluetoothctl", scanKey);
        ASSERT_TRUE(scan.has_value());
        EXPECT_TRUE(gone(*scan)) << "the scan still runs";
        clock.advance(c.nextLimitMs);
        ASSERT_TRUE(waitUntilIdle(*pairing));
        EXPECT_EQ(pairing->status().text, c.finalText);
        EXPECT_EQ(callsOf(fakes).scans, 1);
    }
}

// Letting the pairing go stops its run: the child under way is ended, the run takes its way
// out, posts one final text, and only then does the destruction return.
TEST_F(BluetoothPairingTest, DestructionEndsTheRunWithOneFinalTextBeforeItReturns) {
    struct Case {
        std::string name;
        std::string waitsIn;  // the command under way
        std::string onSigterm;
        bool realClock;  // a child ignoring SIGTERM needs the 2 s to its SIGKILL to pass
        std::string finalText;
    };
    const std::vector<Case> cases = {
        {"in the search", devicesKey, "", false, "No Bluetooth hand controller found"},
        {"in the pair command", pairKey(remote), "", false, "Bluetooth pairing failed; ready to try again"},
        {"in a pair command that ignores SIGTERM", pairKey(remote), "ignore", true,
         "Bluetooth pairing failed; ready to try again"},
        {"in the verification", verifyInfoKey(remote), "", false, "Bluetooth was not authorized; ready to try again"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        FakeTools fakes;
        fakes.answer("bluetoothctl", scanKey, {.waitForSignal = true});
        if (c.waitsIn != devicesKey) fakes.answer("bluetoothctl", devicesKey, {.out = listing({{remote, "Remote"}})});
        fakes.answer("bluetoothctl", searchInfoKey(remote), {.out = info(remote, "Remote", fresh)});
        fakes.answer("bluetoothctl", c.waitsIn, {.waitForSignal = true, .onSigterm = c.onSigterm});
        texts.clear();
        PauseClock pauses;
        auto pairing = make(c.realClock ? systemClock() : static_cast<Clock&>(pauses), inputDevice("Remote"));
        ASSERT_TRUE(pairing->start());
        ASSERT_TRUE(fakes.waitUntilWaiting("bluetoothctl", c.waitsIn));
        auto destroyed = std::async(std::launch::async, [&] { pairing.reset(); });
        ASSERT_EQ(destroyed.wait_for(ceiling), std::future_status::ready);
        const auto posted = texts.posted();
        ASSERT_FALSE(posted.empty());
        EXPECT_EQ(posted.back().text, c.finalText);
        EXPECT_EQ(std::count_if(posted.begin(), posted.end(), [](const auto& s) { return !s.inProgress; }), 1);
        // The clean-up of a stopped run goes no further than the adapter check.
        for (const auto& line : fakes.log()) EXPECT_NE(line, call("--timeout 5 remove " + remote));
    }
}

// A thousand devices in range: a stop during the walk ends it at the device under way, instead
// of starting (and ending at once) a child for every device left.
TEST_F(BluetoothPairingTest, AStoppedRunWalksNoFurtherThroughALongListing) {
    std::vector<std::pair<std::string, std::string>> devices;
    for (int i = 0; i < 1000; ++i) {
        char address[18];
        std::snprintf(address, sizeof address, "AA:BB:CC:DD:%02X:%02X", i / 256, i % 256);
        devices.emplace_back(address, "Pad " + std::to_string(i));
    }
    FakeTools fakes;
    fakes.answer("bluetoothctl", scanKey, {.waitForSignal = true});
    fakes.answer("bluetoothctl", devicesKey, {.out = listing(devices)});
    fakes.answer("bluetoothctl", searchInfoKey(devices[0].first), {.waitForSignal = true});
    PauseClock clock;
    auto pairing = make(clock);
    ASSERT_TRUE(pairing->start());
    ASSERT_TRUE(fakes.waitUntilWaiting("bluetoothctl", searchInfoKey(devices[0].first)));
    auto destroyed = std::async(std::launch::async, [&] { pairing.reset(); });
    ASSERT_EQ(destroyed.wait_for(ceiling), std::future_status::ready);
    EXPECT_EQ(texts.texts().back(), "No Bluetooth hand controller found");
    const Lines log = callsOf(fakes).log;
    EXPECT_EQ(std::count_if(log.begin(), log.end(), [](const std::string& line) {
                  return line.starts_with(call("--timeout 3 info "));
              }),
              1);
}

// Whatever the run throws (a thread that cannot start, memory that runs out), it ends as a
// failed pairing: the adapter is cleaned up (with the chosen controller, once there is one) and
// the final text posted.
TEST_F(BluetoothPairingTest, AFailureThrownInsideTheRunEndsItAsAFailedPairing) {
    struct Case {
        std::string name;
        std::string devices;
        Properties found;
        std::function<void()> fault;
        Lines texts;
        Lines log;
    };
    const std::string searching = "Bluetooth: searching for hand controller...";
    const std::string failed = "Bluetooth pairing failed; ready to try again";
    const Lines prepare{call(powerOnKey), call(pairableOnKey)};
    const std::vector<Case> cases = {
        {"in the search",
         "",
         fresh,
         [] { throw std::bad_alloc(); },
         {searching, failed},
         prepare + Lines{call(devicesKey)} + reset("")},
        {"with a controller chosen",
         listing({{remote, "Remote"}}),
         {.paired = true},
         [] { throw std::system_error(std::make_error_code(std::errc::resource_unavailable_try_again)); },
         {searching, "Bluetooth: pairing with Remote...", failed},
         prepare + Lines{call(devicesKey), call(searchInfoKey(remote)), call(removeKey(remote))} + reset(remote)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        FakeTools fakes;
        fakes.answer("bluetoothctl", scanKey, {.waitForSignal = true});
        fakes.answer("bluetoothctl", devicesKey, {.out = c.devices});
        fakes.answer("bluetoothctl", searchInfoKey(remote), {.out = info(remote, "Remote", c.found)});
        texts.clear();
        PauseClock clock;
        clock.onSleep = [&](std::size_t number) {
            if (number == 1) c.fault();
        };
        auto pairing = make(clock);
        ASSERT_TRUE(pairing->start());
        ASSERT_TRUE(waitUntilIdle(*pairing));
        pairing.reset();
        EXPECT_EQ(texts.texts(), c.texts);
        EXPECT_EQ(callsOf(fakes).log, c.log);
    }
}

}  // namespace
}  // namespace lumetta
