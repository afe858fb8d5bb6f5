#pragma once
// The remote-control pairing the screens drive, on this player a Bluetooth hand controller's
// (device/bluetooth_pairing.h). The loop makes one for its whole run unless its input seams hand
// one in; letting it go stops a pairing under way and waits for its end.

#include "device/bluetooth_pairing.h"
#include "screens/pairing_screen.h"

namespace lumetta::player {

class BluetoothRemotePairing final : public screens::RemotePairing {
public:
    BluetoothRemotePairing() = default;
    explicit BluetoothRemotePairing(BluetoothPairingSeams seams) : pairing_(std::move(seams)) {}

    bool start() override { return pairing_.start(); }
    screens::PairingStatus status() const override;
    bool running() const override { return pairing_.running(); }

private:
    BluetoothPairing pairing_;
};

}  // namespace lumetta::player
