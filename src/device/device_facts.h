#pragma once
// The readers behind every device fact, and the pure parsers and formatters they use.
//
// Each reader turns one operating-system source (a shell line, a sysfs or procfs file, the
// interface list) into one display text. None of them throws for a missing or unreadable
// source: a fact that cannot be read becomes a fixed fallback text. They keep no state and
// may run on any thread at once.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace lumetta::facts {

// ---- Helpers over the system -------------------------------------------------------------

// Runs the line through the shell and returns what it printed on standard output (exit status
// ignored; empty when the shell cannot be started). A NUL byte ends the chunk it appears in, so
// the NUL closing a device-tree string never reaches the text.
std::string runShellCommand(const std::string& commandLine);

// The first line of a text file without its line end; empty when it cannot be opened.
std::string readFileText(const std::string& path);

// The numeric address text of one interface for AF_INET or AF_INET6 (global IPv6 only).
std::string interfaceAddress(const std::string& interfaceName, int addressFamily);

// ---- Pure parsers and formatters ---------------------------------------------------------

// A millidegree reading ("48312") as "48.3 'C"; anything but an optional '-' and digits that
// fit a signed 32-bit number gives the empty text.
std::string formatMilliCelsius(std::string_view text);

// The other text when either is empty, else first + ", " + second.
std::string joinWithComma(const std::string& first, const std::string& second);

// Leading decimal number of a text the way strtol reads it (leading white space skipped,
// stops at the first non-digit, 0 when there is none), kept within the signed 32-bit range.
std::int32_t parseLeadingInt32(std::string_view text);

// "1500MHz" from a kHz reading text.
std::string formatCoreFrequency(std::string_view kiloHertzText);

// "ondemand (600MHz - 1500MHz)" from the governor and the two kHz reading texts.
std::string formatCpuFrequencyPolicy(const std::string& governor, std::string_view minKiloHertzText,
                                     std::string_view maxKiloHertzText);

// The sector count at the start of a block device's size line; nothing when the line does not
// start with a digit, the number does not fit 64 bits, or it is 0.
std::optional<std::uint64_t> parseSectorCount(std::string_view sizeLine);

// Nominal card size ("16GB") of a count of 512-byte sectors.
std::string formatSdCardSize(std::uint64_t sectors);

// The first number of /proc/uptime's text in seconds (0 when there is none).
double parseUptimeSeconds(std::string_view text);

// "Uptime: 1 Day(s), 2 Hour(s), 3 Minute(s), 4 Second(s)".
std::string formatUptimeText(double seconds);

// Thermal zones a board reports, chosen by its model text: nothing for an empty model.
struct ThermalZones {
    int first = -1;   // -1: none
    int second = -1;  // -1: a single zone
};
ThermalZones thermalZonesForModel(const std::string& model);

// Interface of the first up default route in a /proc/net/route text (heading line first);
// empty when there is none.
std::string findIpv4DefaultRoute(std::string_view routeTable);

// Device of the first up default route in a /proc/net/ipv6_route text; empty when none.
std::string findIpv6DefaultRoute(std::string_view routeTable);

// ASCII letters in upper case.
std::string upperCase(std::string text);

// ---- The readers -------------------------------------------------------------------------
// Those taking `model` choose a board-specific source from the device-tree model text.

std::string readModel();
std::string readSerialNumber(const std::string& model);
std::string readMemoryInfo(const std::string& model);
std::string readOsVersion();
std::string readSdCardSize();
std::string readCpuCount();
std::string readCoreFrequency(std::int32_t core);
std::string readCpuFrequencyPolicy();
std::string readUptime();
std::string readTemperature(const std::string& model);
std::string readDefaultRoutes();
// An empty interface name means the default-route interface.
std::string readMacAddress(const std::string& interfaceName);
std::string readIpv4Address(const std::string& interfaceName);
std::string readIpv6Address(const std::string& interfaceName);

}  // namespace lumetta::facts
