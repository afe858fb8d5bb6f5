#pragma once
// The pairing procedure's only ways to the Bluetooth stack: the BlueZ tool `bluetoothctl` as a
// child process, a restart of the Bluetooth service through `systemctl`, and the kernel's list
// of input devices. Nothing here keeps state between calls; every call may run on its own thread.

#include <cstdint>
#include <filesystem>
#include <stop_token>
#include <string>
#include <utility>
#include <vector>

#include "core/clock.h"

namespace lumetta {

struct ProcessResult {
    // The exit code (0-255) of a child that exited normally; -1 when the pipe or the child could
    // not be made, when the child ended through a signal, or when it could not be waited for.
    int exitStatus = -1;
    // Standard output and standard error, interleaved as written; at most 1 MiB is kept.
    std::string output;
    bool outputCut = false;  // the child wrote more than was kept
};

// Runs "bluetoothctl" (found through PATH) with `arguments`. Once `limitSeconds` have passed on
// `clock` (0 or less: at once), or while stop is requested on `stop`, the child gets SIGTERM,
// and SIGKILL on every pass from 2 s after that; the output read until then is kept.
ProcessResult runProcess(const std::vector<std::string>& arguments, std::stop_token stop, std::int64_t limitSeconds,
                         Clock& clock = systemClock());

// The (address, name) pairs of a `bluetoothctl devices` listing, in the order given: from each
// line holding "Device ", the 17 characters after it and, past one separator, the rest of the
// line (at least one character). Nothing is checked or removed; carriage returns stay.
std::vector<std::pair<std::string, std::string>> parseBluetoothDevices(const std::string& output);

// Whether the kernel lists an input device for the controller: a line that is exactly
// `N: Name="<name>"`, or (for a non-empty address) a line that holds the address, both taken
// in lower case. An unreadable list holds no device.
bool inputDeviceExists(const std::string& name, const std::string& address,
                       const std::filesystem::path& devices = "/proc/bus/input/devices");

// Brings the adapter back to a clean state after a failed attempt: restarts the Bluetooth
// service when `bluetoothctl show` does not succeed (waiting at most 10 s; SIGKILL after that or
// on stop), then, unless stop is requested, removes `address` (when not empty), powers the
// adapter on and turns pairable off. Reports nothing.
void resetBluetooth(const std::string& address, std::stop_token stop, Clock& clock = systemClock());

}  // namespace lumetta
