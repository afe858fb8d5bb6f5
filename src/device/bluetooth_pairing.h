#pragma once
// Pairing of Bluetooth hand controllers (remote controls that are input devices).
//
// A pairing walks a fixed procedure on a worker thread of its own, through the tools of
// device/bluetooth_tools.h: power the adapter on, make it pairable, search up to 12 s (with a
// background scan) for a controller, pair it unless it is already bonded, trust and connect it,
// then verify that it is paired, bonded, trusted and connected and that the kernel lists its
// input device. Every failure once the adapter was touched brings it back to a clean state
// (`resetBluetooth`). The agent has no input and no output, so no PIN is entered anywhere.
//
// The player loop owns one `BluetoothPairing` for its whole run: `start` on request, `status`
// once per frame (a new `counter` means a new text), `running` to know whether a run is under
// way. Destroying it stops a run in progress and waits for its end (the children get SIGTERM at
// once, SIGKILL 2 s later).
//
// Every run ends with exactly one final text (`inProgress` false), after which `running` reads
// false; also when the run fails in an unforeseen way (a thread that cannot start, memory that
// runs out): it then cleans up as a failed pairing and says so.

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <mutex>
#include <stop_token>
#include <string>
#include <thread>
#include <vector>

#include "core/clock.h"
#include "device/bluetooth_tools.h"

namespace lumetta {

// One look at the pairing: its latest text, a counter that grows by one with every text posted
// (never reset between runs), and whether the text reports progress.
struct BluetoothPairingStatus {
    std::string text;
    std::uint64_t counter = 0;
    bool inProgress = false;
};

// What a `bluetoothctl info` answer says of a device. A property counts only on its own line,
// as the line's first word after blanks (so a device's name or alias saying "Paired: yes" says
// nothing); the input-device service counts only on a "UUID:" line.
struct BluetoothDeviceInfo {
    bool controller = false;  // a human-interface device: an input icon or the HID service
    bool paired = false;
    bool bonded = false;
    bool trusted = false;
    bool connected = false;
};
BluetoothDeviceInfo readBluetoothDeviceInfo(const std::string& output);

// The pairing's boundaries; the defaults are the running player's.
struct BluetoothPairingSeams {
    // The search's 12 s, the pauses between passes and every child's time limit.
    Clock* clock = &systemClock();
    // The kernel's list of input devices.
    std::filesystem::path inputDevices = "/proc/bus/input/devices";
    // Told every text as it is posted, on the thread that posts it (empty: nobody).
    std::function<void(const BluetoothPairingStatus& posted)> posted;
};

class BluetoothPairing {
public:
    BluetoothPairing();
    explicit BluetoothPairing(BluetoothPairingSeams seams);
    // Stops a run in progress and waits for it to post its final text and end.
    ~BluetoothPairing();
    BluetoothPairing(const BluetoothPairing&) = delete;
    BluetoothPairing& operator=(const BluetoothPairing&) = delete;

    // Starts a run (true). While one is under way nothing starts (false), and the notice
    // "Bluetooth pairing already in progress" is posted; the run's next text replaces it.
    bool start();
    BluetoothPairingStatus status() const;
    // From a successful `start` until the run's final text is posted.
    bool running() const { return running_.load(); }

    // A bluetoothctl command succeeded: it exited with 0, its whole output was kept, and the
    // output says neither "Failed" nor "not available" anywhere.
    static bool commandSucceeded(const ProcessResult& result);

private:
    void setStatus(std::string text, bool inProgress);
    // Posts the run's final text, then clears `running`.
    void finishStatus(std::string text);
    void pairingThread(std::stop_token stop);
    // The procedure; `chosenAddress` is the controller chosen, once there is one.
    void run(std::stop_token stop, std::string& chosenAddress);
    void scanThread(std::stop_token stop);
    ProcessResult bluetoothctl(const std::vector<std::string>& arguments, std::stop_token stop,
                               std::int64_t limitSeconds);
    BluetoothDeviceInfo deviceInfo(const std::vector<std::string>& arguments, std::stop_token stop,
                                   std::int64_t limitSeconds);

    BluetoothPairingSeams seams_;
    std::atomic<bool> running_{false};
    mutable std::mutex mutex_;  // guards the three status fields; never held across a child
    std::string statusText_;
    std::uint64_t statusCounter_ = 0;
    bool inProgress_ = false;
    std::jthread worker_;
};

}  // namespace lumetta
