// Device listings as bluetoothctl prints them: the names are whatever nearby devices announce.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "device/bluetooth_tools.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string output(reinterpret_cast<const char*>(data), size);
    std::size_t lines = 1;
    for (char c : output) lines += c == '\n' ? 1 : 0;
    const auto devices = lumetta::parseBluetoothDevices(output);
    if (devices.size() > lines) std::abort();
    for (const auto& [address, name] : devices) {
        if (address.size() != 17 || name.empty() || name.find('\n') != std::string::npos) std::abort();
        if (output.find(address) == std::string::npos || output.find(name) == std::string::npos) std::abort();
    }
    return 0;
}
