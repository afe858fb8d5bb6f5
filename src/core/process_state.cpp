#include "core/process_state.h"

namespace lumetta {

std::string configBaseDirectory;
std::string deviceName;
std::atomic<int> displayRotation{0};
std::string deviceId;
bool showCodecInformation = false;
std::atomic<bool> playerRunning{true};
std::atomic<bool> factoryResetRequested{false};

}  // namespace lumetta
