#include "player/remote_pairing.h"

#include <utility>

namespace lumetta::player {

screens::PairingStatus BluetoothRemotePairing::status() const {
    BluetoothPairingStatus status = pairing_.status();
    return screens::PairingStatus{std::move(status.text), status.counter, status.inProgress};
}

}  // namespace lumetta::player
