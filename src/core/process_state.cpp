#include "core/process_state.h"

#include <mutex>

namespace lumetta {

std::string configBaseDirectory;
std::atomic<int> displayRotation{0};
std::string deviceId;
bool showCodecInformation = false;
std::atomic<bool> playerRunning{true};
std::atomic<bool> factoryResetRequested{false};

namespace {
std::mutex deviceNameMutex;
std::string deviceNameValue;
}  // namespace

std::string currentDeviceName() {
    std::lock_guard lock(deviceNameMutex);
    return deviceNameValue;
}

void setDeviceName(std::string name) {
    std::lock_guard lock(deviceNameMutex);
    deviceNameValue = std::move(name);
}

}  // namespace lumetta
