#pragma once
// Pairing of Bluetooth hand controllers (remote controls that are input devices).

#include "device/bluetooth_tools.h"

namespace lumetta {

class BluetoothPairing {
public:
    // A bluetoothctl command succeeded: it exited with 0, its whole output was kept, and the
    // output says neither "Failed" nor "not available" anywhere.
    static bool commandSucceeded(const ProcessResult& result);
};

}  // namespace lumetta
