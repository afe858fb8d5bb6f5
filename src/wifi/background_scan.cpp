#include "wifi/background_scan.h"

#include <chrono>

namespace lumetta {

ScanResult scanNetworks(const WpaSystem& system) {
    if (!wpaSupplicantRunning(system)) return {false, {}};
    return {true, scanWiFiNetworks(system)};
}

std::future<ScanResult> startScan(const WpaSystem& system) {
    return std::async(std::launch::async, [system] { return scanNetworks(system); });
}

bool BackgroundScan::start() {
    if (pending_) return false;
    // The previous scan's state is released before the new one starts.
    scan_ = {};
    scan_ = startScan(system_);
    pending_ = true;
    return true;
}

std::optional<ScanResult> BackgroundScan::poll() {
    if (!pending_ || scan_.wait_for(std::chrono::seconds(0)) != std::future_status::ready) return std::nullopt;
    pending_ = false;
    std::future<ScanResult> finished = std::move(scan_);
    return finished.get();
}

}  // namespace lumetta
