#include "device/bluetooth_pairing.h"

#include <optional>
#include <string_view>
#include <system_error>
#include <utility>

namespace lumetta {

namespace {

constexpr std::int64_t searchMs = 12'000;
constexpr std::int64_t searchPassPauseMs = 300;
constexpr std::int64_t afterRemovePauseMs = 1000;
constexpr std::int64_t verificationPauseMs = 250;
constexpr int verificationPasses = 60;

constexpr const char* searchingText = "Bluetooth: searching for hand controller...";
constexpr const char* alreadyRunningText = "Bluetooth pairing already in progress";
constexpr const char* unavailableText = "Bluetooth is unavailable";
constexpr const char* notPairableText = "Bluetooth could not enter pairing mode";
constexpr const char* nothingFoundText = "No Bluetooth hand controller found";
constexpr const char* removeFailedText = "Could not reset incomplete Bluetooth pairing";
constexpr const char* pairFailedText = "Bluetooth pairing failed; ready to try again";
constexpr const char* connectFailedText = "Bluetooth connection failed; ready to try again";
constexpr const char* notAuthorizedText = "Bluetooth was not authorized; ready to try again";
constexpr const char* verificationFailedText = "Bluetooth verification failed; ready to try again";
constexpr const char* hidFailedText = "Bluetooth HID failed; ready to try again";
constexpr const char* connectedText = "Bluetooth controller connected";

// A device the search may pick.
struct Candidate {
    std::string address;
    std::string name;
    bool paired = false;
    bool bonded = false;
};

}  // namespace

BluetoothDeviceInfo readBluetoothDeviceInfo(const std::string& output) {
    BluetoothDeviceInfo info;
    bool inputIcon = false;
    bool hidService = false;
    std::size_t begin = 0;
    while (begin < output.size()) {
        std::size_t end = output.find('\n', begin);
        if (end == std::string::npos) end = output.size();
        std::string_view line(output.data() + begin, end - begin);
        begin = end + 1;
        const std::size_t first = line.find_first_not_of(" \t");
        if (first == std::string_view::npos) continue;
        line.remove_prefix(first);
        // The last line of a property is the one that counts: the tool prints the device's name
        // and alias before its properties, so text inside them cannot stand for a property.
        const auto property = [&line](std::string_view name, std::string_view wanted, bool& value) {
            if (!line.starts_with(name)) return false;
            value = line.starts_with(wanted);
            return true;
        };
        if (property("Paired:", "Paired: yes", info.paired) || property("Bonded:", "Bonded: yes", info.bonded) ||
            property("Trusted:", "Trusted: yes", info.trusted) ||
            property("Connected:", "Connected: yes", info.connected) ||
            property("Icon:", "Icon: input-", inputIcon)) {
            continue;
        }
        if (line.starts_with("UUID:") && (line.find("Human Interface Device") != std::string_view::npos ||
                                          line.find("00001124-0000-1000-8000-00805f9b34fb") != std::string_view::npos)) {
            hidService = true;
        }
    }
    info.controller = inputIcon || hidService;
    return info;
}

BluetoothPairing::BluetoothPairing() : BluetoothPairing(BluetoothPairingSeams{}) {}

BluetoothPairing::BluetoothPairing(BluetoothPairingSeams seams) : seams_(std::move(seams)) {
    if (seams_.clock == nullptr) seams_.clock = &systemClock();
}

BluetoothPairing::~BluetoothPairing() {
    if (worker_.joinable()) {
        worker_.request_stop();
        worker_.join();
    }
}

bool BluetoothPairing::start() {
    bool idle = false;
    if (!running_.compare_exchange_strong(idle, true)) {
        setStatus(alreadyRunningText, false);
        return false;
    }
    // The last run has posted its final text; its thread is about to end.
    if (worker_.joinable()) worker_.join();
    setStatus(searchingText, true);
    try {
        worker_ = std::jthread([this](std::stop_token stop) { pairingThread(std::move(stop)); });
    } catch (const std::system_error&) {
        // No thread, no run: nothing was touched, and the next start may try again.
        finishStatus(pairFailedText);
        return false;
    }
    return true;
}

BluetoothPairingStatus BluetoothPairing::status() const {
    std::lock_guard lock(mutex_);
    return BluetoothPairingStatus{statusText_, statusCounter_, inProgress_};
}

void BluetoothPairing::setStatus(std::string text, bool inProgress) {
    std::optional<BluetoothPairingStatus> posted;
    {
        std::lock_guard lock(mutex_);
        statusText_ = std::move(text);
        inProgress_ = inProgress;
        ++statusCounter_;
        if (seams_.posted) posted = BluetoothPairingStatus{statusText_, statusCounter_, inProgress_};
    }
    if (posted) seams_.posted(*posted);
}

void BluetoothPairing::finishStatus(std::string text) {
    setStatus(std::move(text), false);
    running_.store(false);
}

ProcessResult BluetoothPairing::bluetoothctl(const std::vector<std::string>& arguments, std::stop_token stop,
                                             std::int64_t limitSeconds) {
    return runProcess(arguments, std::move(stop), limitSeconds, *seams_.clock);
}

BluetoothDeviceInfo BluetoothPairing::deviceInfo(const std::vector<std::string>& arguments, std::stop_token stop,
                                                 std::int64_t limitSeconds) {
    return readBluetoothDeviceInfo(bluetoothctl(arguments, std::move(stop), limitSeconds).output);
}

void BluetoothPairing::pairingThread(std::stop_token stop) {
    std::string chosenAddress;
    try {
        run(stop, chosenAddress);
        return;
    } catch (const std::exception&) {
        // Falls through to the clean-up of a failed pairing.
    }
    // A run that failed after its final text has nothing left to say.
    if (!running_.load()) return;
    try {
        resetBluetooth(chosenAddress, stop, *seams_.clock);
    } catch (const std::exception&) {
        // The adapter stays as it is; the text still ends the run.
    }
    finishStatus(pairFailedText);
}

void BluetoothPairing::scanThread(std::stop_token stop) {
    try {
        bluetoothctl({"--timeout", "30", "scan", "on"}, std::move(stop), 35);
    } catch (const std::exception&) {
        // The scan only helps the search along; the search goes on without it.
    }
}

void BluetoothPairing::run(std::stop_token stop, std::string& chosenAddress) {
    Clock& clock = *seams_.clock;

    // The adapter: powered, and pairable for the run.
    if (!commandSucceeded(bluetoothctl({"--timeout", "5", "power", "on"}, stop, 35))) {
        resetBluetooth("", stop, clock);
        finishStatus(unavailableText);
        return;
    }
    if (!commandSucceeded(bluetoothctl({"--timeout", "5", "pairable", "on"}, stop, 8))) {
        resetBluetooth("", stop, clock);
        finishStatus(notPairableText);
        return;
    }

    // Discovery runs in the background while the run lists devices and pairs. Leaving `run`
    // any way destroys the thread, which stops the scan and waits for it.
    std::jthread scan([this](std::stop_token scanStop) { scanThread(std::move(scanStop)); });
    const auto stopScan = [&scan] {
        if (!scan.joinable()) return;
        scan.request_stop();
        scan.join();
    };
    const auto fail = [&](const std::string& address, const char* text) {
        stopScan();
        resetBluetooth(address, stop, clock);
        finishStatus(text);
    };

    // The search: a controller still to pair wins over one already bonded, whichever comes first.
    std::optional<Candidate> needsPairing;
    std::optional<Candidate> bonded;
    const std::int64_t deadline = clock.steadyMs() + searchMs;
    while (!stop.stop_requested() && clock.steadyMs() < deadline && !needsPairing && !bonded) {
        const auto devices = parseBluetoothDevices(bluetoothctl({"--timeout", "3", "devices"}, stop, 6).output);
        for (const auto& [address, name] : devices) {
            // Each device costs a child; a stopped run walks no further.
            if (stop.stop_requested()) break;
            const BluetoothDeviceInfo info = deviceInfo({"--timeout", "3", "info", address}, stop, 6);
            if (!info.controller) continue;
            Candidate candidate{address, name, info.paired, info.bonded};
            if (candidate.paired && candidate.bonded) {
                if (!bonded) bonded = std::move(candidate);
                continue;
            }
            needsPairing = std::move(candidate);
            break;
        }
        if (!needsPairing && !bonded) clock.sleepFor(searchPassPauseMs, stop);
    }

    // A controller found before a stop is still taken; the commands after the stop end at once.
    if (!needsPairing && !bonded) {
        stopScan();
        bluetoothctl({"--timeout", "5", "pairable", "off"}, stop, 8);
        finishStatus(nothingFoundText);
        return;
    }
    const bool mustPair = needsPairing.has_value();
    const Candidate chosen = mustPair ? *needsPairing : *bonded;
    const std::string& address = chosen.address;
    chosenAddress = address;
    setStatus("Bluetooth: pairing with " + chosen.name + "...", true);

    if (mustPair) {
        // Paired but not bonded: the half-made pairing goes first.
        if (chosen.paired) {
            if (!commandSucceeded(bluetoothctl({"remove", address}, stop, 35))) {
                fail(address, removeFailedText);
                return;
            }
            clock.sleepFor(afterRemovePauseMs, stop);
        }
        if (!commandSucceeded(
                bluetoothctl({"--agent", "NoInputNoOutput", "--timeout", "20", "pair", address}, stop, 35))) {
            fail(address, pairFailedText);
            return;
        }
    }
    const bool trusted = commandSucceeded(bluetoothctl({"trust", address}, stop, 35));
    const bool connected = commandSucceeded(bluetoothctl({"--timeout", "10", "connect", address}, stop, 35));
    if (!trusted || !connected) {
        fail(address, connectFailedText);
        return;
    }
    stopScan();

    // Verification: the adapter's word, and the kernel's input device.
    for (int pass = 0; pass < verificationPasses && !stop.stop_requested(); ++pass) {
        const BluetoothDeviceInfo info = deviceInfo({"info", address}, stop, 35);
        if (info.paired && info.bonded && info.trusted && info.connected &&
            inputDeviceExists(chosen.name, address, seams_.inputDevices)) {
            bluetoothctl({"--timeout", "5", "pairable", "off"}, stop, 8);
            finishStatus(connectedText);
            return;
        }
        clock.sleepFor(verificationPauseMs, stop);
    }
    // The input device is looked for before the clean-up removes the controller.
    const BluetoothDeviceInfo last = deviceInfo({"info", address}, stop, 35);
    const bool inputExisted = last.bonded && inputDeviceExists(chosen.name, address, seams_.inputDevices);
    resetBluetooth(address, stop, clock);
    finishStatus(!last.bonded ? notAuthorizedText : inputExisted ? verificationFailedText : hidFailedText);
}

}  // namespace lumetta
