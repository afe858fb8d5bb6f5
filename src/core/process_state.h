#pragma once
// Process-wide state set by the program entry and read across the player.

#include <atomic>
#include <string>

namespace lumetta {

extern std::string configBaseDirectory;       // "/home" in a managed run
extern std::atomic<int> displayRotation;      // degrees: 0, -90, -180 or -270
extern std::string deviceId;
extern bool showCodecInformation;
extern std::atomic<bool> playerRunning;       // true until the player loop has ended
extern std::atomic<bool> factoryResetRequested;

// The device's name: written by the program entry and the server link's "name" message while
// screens read it, so it is only reached through these, under its own lock.
std::string currentDeviceName();
void setDeviceName(std::string name);

}  // namespace lumetta
