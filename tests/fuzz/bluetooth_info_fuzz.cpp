// Device descriptions as `bluetoothctl info` prints them: the name and alias inside are whatever
// a nearby device announces.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "device/bluetooth_pairing.h"

namespace {

bool lineStartsWith(const std::string& output, const std::string& marker) {
    std::size_t begin = 0;
    while (begin <= output.size()) {
        const std::size_t first = output.find_first_not_of(" \t", begin);
        if (first != std::string::npos && output.compare(first, marker.size(), marker) == 0 &&
            output.find('\n', begin) >= first) {
            return true;
        }
        const std::size_t end = output.find('\n', begin);
        if (end == std::string::npos) break;
        begin = end + 1;
    }
    return false;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string output(reinterpret_cast<const char*>(data), size);
    const lumetta::BluetoothDeviceInfo info = lumetta::readBluetoothDeviceInfo(output);
    // A property said yes only on a line of its own that starts with it.
    if (info.paired && !lineStartsWith(output, "Paired: yes")) std::abort();
    if (info.bonded && !lineStartsWith(output, "Bonded: yes")) std::abort();
    if (info.trusted && !lineStartsWith(output, "Trusted: yes")) std::abort();
    if (info.connected && !lineStartsWith(output, "Connected: yes")) std::abort();
    if (info.controller && !lineStartsWith(output, "Icon: input-") && !lineStartsWith(output, "UUID:")) std::abort();
    // Text on a name line alone never makes a controller.
    const lumetta::BluetoothDeviceInfo named = lumetta::readBluetoothDeviceInfo("\tName: " + output);
    if (output.find('\n') == std::string::npos && (named.controller || named.paired || named.bonded)) std::abort();
    return 0;
}
