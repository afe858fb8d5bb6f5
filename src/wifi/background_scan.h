#pragma once
// One network scan on a thread of its own, so the set-up screen stays responsive for the
// seconds a scan takes. The screen holds a `BackgroundScan`, starts it at once and on each
// rescan, and polls it once per loop pass without blocking.
//
// The scan thread touches only wpa_supplicant (through its own wpa_cli children) and its own
// result; the result crosses to the screen's thread through the future alone.

#include <future>
#include <optional>
#include <utility>
#include <vector>

#include "wifi/wifi_scan.h"
#include "wifi/wpa_control.h"

namespace lumetta {

// (wpa_supplicant answered "ping", the networks in the order `scanWiFiNetworks` gives them);
// the list is empty when the daemon did not answer.
using ScanResult = std::pair<bool, std::vector<WiFiNetwork>>;

// (false, nothing) without scanning when the daemon does not answer; else (true, the scan).
ScanResult scanNetworks(const WpaSystem& system = {});

// `scanNetworks` on a new thread, started at once (never deferred). The future owns the thread:
// releasing it while the scan runs waits for the scan to end. An exception of the scan is kept
// for whoever takes the result. A thread that cannot be started throws std::system_error here.
// `system` is copied; its clock must outlive the scan.
std::future<ScanResult> startScan(const WpaSystem& system = {});

// The screen's one scan: at most one runs at a time.
class BackgroundScan {
public:
    explicit BackgroundScan(const WpaSystem& system = {}) : system_(system) {}
    // Waits for a scan still running.
    ~BackgroundScan() = default;
    BackgroundScan(const BackgroundScan&) = delete;
    BackgroundScan& operator=(const BackgroundScan&) = delete;

    // Starts a scan unless one is pending (started and its result not yet taken). Whether it did.
    bool start();
    bool pending() const { return pending_; }
    // The result once the pending scan has ended, taken at most once; nothing while it runs or
    // when none is pending. Never blocks. A scan that threw throws here, and is no longer pending.
    std::optional<ScanResult> poll();

private:
    WpaSystem system_;
    std::future<ScanResult> scan_;
    bool pending_ = false;
};

}  // namespace lumetta
