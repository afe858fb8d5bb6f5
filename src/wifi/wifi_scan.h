#pragma once
// The networks around the device, as the set-up screen lists them.
//
// `scanWiFiNetworks` asks wpa_supplicant for a fresh scan, polls "scan_results" until the table
// settles, and turns it into one `WiFiNetwork` per SSID, strongest first, with the network the
// device is associated with marked. The polling runs on the `Clock` of the `WpaSystem`; the
// table is read by `parseScanResults`, which has no side effects.
//
// SSIDs stay in the form wpa_cli prints them (escapes such as "\x00" or "\t" not decoded), the
// form `joinWiFiNetwork`, `forgetWiFiNetwork` and `wpaStatusSsid` take and give.

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "wifi/wpa_control.h"

namespace lumetta {

struct WiFiNetwork {
    std::string ssid;         // as wpa_cli prints it; never empty in a scan result
    std::int32_t signal = 0;  // 0..100: 2 x (level in dBm + 100), clamped
    bool needsPassword = false;  // the flags name WPA, WEP or SAE, and not OWE
    bool owe = false;            // the flags name OWE: open, joined with key management OWE
    bool connected = false;      // the SSID of the current association
    bool available = false;      // seen in the latest scan (a scan sets it)
    bool saved = false;          // stored in the configuration file (a scan leaves it false)

    bool operator==(const WiFiNetwork&) const = default;
};

// The steps of a scan, on the system's clock (systemClock() when it has none).
inline constexpr std::int64_t kScanPassMs = 250;      // between two "scan_results"
inline constexpr std::int64_t kScanSettleMs = 3000;   // a settled table ends the polling from here on
inline constexpr std::int64_t kScanFinalMs = 8000;    // the polling ends here whatever the table does

// "scan", then "scan_results" every 250 ms until three equal answers in a row hold a data row
// and 3 s have passed, or until 8 s have passed; then "status" once for the associated SSID,
// and the last answer is parsed. Empty when "scan" is not answered with OK (a busy or failed
// daemon) and when nothing was found; nothing is thrown for what the daemon answers.
std::vector<WiFiNetwork> scanWiFiNetworks(const WpaSystem& system = {});

// Whether a "scan_results" answer holds a data row: a line after the first (the heading) with
// any character other than line feed and carriage return.
bool scanAnswerHasData(std::string_view answer);

// The records of one "scan_results" answer. Each line after the heading (trailing carriage
// returns dropped) is "bssid<TAB>frequency<TAB>level<TAB>flags<TAB>ssid", the SSID being the rest
// of the line (tabs included); shorter lines, empty SSIDs and hidden ones (`isHiddenSsid`) are
// skipped. One record per SSID: that of its strongest row, the first among equally strong ones.
// Sorted by signal, strongest first; equal signals keep the order of their first rows.
// `connected` is set on the record whose SSID equals `connectedSsid` byte for byte.
std::vector<WiFiNetwork> parseScanResults(std::string_view answer, std::string_view connectedSsid);

// A hidden network's SSID: nothing left once spaces, tabs and NUL bytes are taken out and then
// every leading "\x00" (four characters, as printed for a zero byte).
bool isHiddenSsid(std::string_view printed);

// The signal quality of a level field: a decimal integer (leading white space and a sign
// allowed, reading stops at the first other character) taken as dBm; -100 when it holds no
// digits or does not fit 32 bits. 2 x (level + 100), clamped to 0..100.
std::int32_t scanSignal(std::string_view levelField);

}  // namespace lumetta
