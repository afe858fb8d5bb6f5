#include "device/device_facts.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iomanip>
#include <limits>
#include <sstream>
#include <vector>

#include "core/file_utils.h"

namespace lumetta::facts {

namespace {

bool isDigit(char c) { return c >= '0' && c <= '9'; }

bool isSpace(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r'; }

int hexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// The hexadecimal digits at the start of a field as an unsigned 32-bit number; nothing when
// there is no digit or the number does not fit.
std::optional<std::uint32_t> leadingHex32(std::string_view field) {
    std::uint64_t value = 0;
    std::size_t digits = 0;
    for (char c : field) {
        int v = hexValue(c);
        if (v < 0) break;
        value = value * 16 + static_cast<std::uint64_t>(v);
        if (value > std::numeric_limits<std::uint32_t>::max()) return std::nullopt;
        ++digits;
    }
    if (digits == 0) return std::nullopt;
    return static_cast<std::uint32_t>(value);
}

std::vector<std::string_view> splitLines(std::string_view text) {
    std::vector<std::string_view> lines;
    while (!text.empty()) {
        std::size_t end = text.find('\n');
        if (end == std::string_view::npos) {
            lines.push_back(text);
            break;
        }
        lines.push_back(text.substr(0, end));
        text.remove_prefix(end + 1);
    }
    return lines;
}

std::vector<std::string_view> splitFields(std::string_view line) {
    std::vector<std::string_view> fields;
    std::size_t i = 0;
    while (i < line.size()) {
        while (i < line.size() && isSpace(line[i])) ++i;
        std::size_t start = i;
        while (i < line.size() && !isSpace(line[i])) ++i;
        if (i > start) fields.push_back(line.substr(start, i - start));
    }
    return fields;
}

std::string readZone(int zone) {
    if (zone < 0) return {};
    return formatMilliCelsius(readFileText("/sys/class/thermal/thermal_zone" + std::to_string(zone) + "/temp"));
}

bool contains(const std::string& text, std::string_view part) { return text.find(part) != std::string::npos; }

bool isGlobalIpv6(const in6_addr& address) {
    const std::uint8_t* b = address.s6_addr;
    if (IN6_IS_ADDR_UNSPECIFIED(&address) || IN6_IS_ADDR_LOOPBACK(&address)) return false;
    if (b[0] == 0xFE && (b[1] & 0xC0) == 0x80) return false;  // link-local fe80::/10
    if (b[0] == 0xFF) return false;                           // multicast
    return true;
}

}  // namespace

std::string runShellCommand(const std::string& commandLine) {
    // "e": the pipe's own descriptor is not inherited by the shells of other threads.
    FILE* pipe = popen(commandLine.c_str(), "re");
    if (pipe == nullptr) return {};
    std::string output;
    char buffer[2048];
    while (std::fgets(buffer, sizeof buffer, pipe) != nullptr) output += buffer;
    pclose(pipe);
    return output;
}

std::string readFileText(const std::string& path) {
    std::ifstream in(path);
    std::string line;
    if (!in.is_open() || !std::getline(in, line)) return {};
    return line;
}

std::string interfaceAddress(const std::string& interfaceName, int addressFamily) {
    ifaddrs* list = nullptr;
    if (getifaddrs(&list) != 0) return {};
    std::string result;
    for (ifaddrs* entry = list; entry != nullptr; entry = entry->ifa_next) {
        if (entry->ifa_addr == nullptr || entry->ifa_name == nullptr) continue;
        if (interfaceName != entry->ifa_name) continue;
        if (entry->ifa_addr->sa_family != addressFamily) continue;
        char text[46] = {};
        if (addressFamily == AF_INET) {
            const auto* address = reinterpret_cast<const sockaddr_in*>(entry->ifa_addr);
            if (inet_ntop(AF_INET, &address->sin_addr, text, sizeof text) == nullptr) continue;
        } else if (addressFamily == AF_INET6) {
            const auto* address = reinterpret_cast<const sockaddr_in6*>(entry->ifa_addr);
            if (!isGlobalIpv6(address->sin6_addr)) continue;
            if (inet_ntop(AF_INET6, &address->sin6_addr, text, sizeof text) == nullptr) continue;
        } else {
            continue;
        }
        result = text;
        break;
    }
    freeifaddrs(list);
    return result;
}

std::string formatMilliCelsius(std::string_view text) {
    std::string_view digits = text;
    if (!digits.empty() && digits.front() == '-') digits.remove_prefix(1);
    if (digits.empty()) return {};
    for (char c : digits) {
        if (!isDigit(c)) return {};
    }
    std::int32_t value = 0;
    auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end != text.data() + text.size()) return {};
    std::ostringstream out;
    out << std::fixed << std::setprecision(1) << value / 1000.0 << " 'C";
    return out.str();
}

std::string joinWithComma(const std::string& first, const std::string& second) {
    if (first.empty()) return second;
    if (second.empty()) return first;
    return first + ", " + second;
}

std::int32_t parseLeadingInt32(std::string_view text) {
    std::size_t i = 0;
    while (i < text.size() && isSpace(text[i])) ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == '-' || text[i] == '+')) {
        negative = text[i] == '-';
        ++i;
    }
    constexpr std::int64_t limit = std::int64_t{std::numeric_limits<std::int32_t>::max()} + 1;
    std::int64_t magnitude = 0;
    for (; i < text.size() && isDigit(text[i]); ++i) {
        magnitude = magnitude * 10 + (text[i] - '0');
        if (magnitude > limit) magnitude = limit;  // saturates like strtol does
    }
    std::int64_t value = negative ? -magnitude : magnitude;
    if (value > std::numeric_limits<std::int32_t>::max()) return std::numeric_limits<std::int32_t>::max();
    return static_cast<std::int32_t>(value);
}

std::string formatCoreFrequency(std::string_view kiloHertzText) {
    return std::to_string(parseLeadingInt32(kiloHertzText) / 1000) + "MHz";
}

std::string formatCpuFrequencyPolicy(const std::string& governor, std::string_view minKiloHertzText,
                                     std::string_view maxKiloHertzText) {
    return governor + " (" + std::to_string(parseLeadingInt32(minKiloHertzText) / 1000) + "MHz - " +
           std::to_string(parseLeadingInt32(maxKiloHertzText) / 1000) + "MHz)";
}

std::optional<std::uint64_t> parseSectorCount(std::string_view sizeLine) {
    if (sizeLine.empty() || !isDigit(sizeLine.front())) return std::nullopt;
    std::uint64_t value = 0;
    for (char c : sizeLine) {
        if (!isDigit(c)) break;
        auto digit = static_cast<std::uint64_t>(c - '0');
        if (value > (std::numeric_limits<std::uint64_t>::max() - digit) / 10) return std::nullopt;
        value = value * 10 + digit;
    }
    if (value == 0) return std::nullopt;
    return value;
}

std::string formatSdCardSize(std::uint64_t sectors) {
    double gigabytes = static_cast<double>(sectors) * 512.0 / 1000000000.0;
    // Card makers' nominal sizes; 1000 follows 512.
    static constexpr int nominal[] = {1, 2, 4, 8, 16, 32, 64, 128, 256, 512, 1000};
    for (int size : nominal) {
        if (size >= gigabytes) return std::to_string(size) + "GB";
    }
    return std::to_string(static_cast<std::uint64_t>(std::ceil(gigabytes))) + "GB";
}

double parseUptimeSeconds(std::string_view text) {
    std::size_t i = 0;
    while (i < text.size() && isSpace(text[i])) ++i;
    double seconds = 0;
    auto [end, error] = std::from_chars(text.data() + i, text.data() + text.size(), seconds);
    (void)end;
    if (error != std::errc() || !std::isfinite(seconds) || seconds < 0) return 0;
    return seconds;
}

std::string formatUptimeText(double seconds) {
    if (!std::isfinite(seconds) || seconds < 0) seconds = 0;
    double minutes = seconds / 60.0;
    double hours = minutes / 60.0;
    double days = hours / 24.0;
    auto whole = [](double value) {
        constexpr double most = std::numeric_limits<std::int32_t>::max();
        return static_cast<std::int32_t>(value > most ? most : value);
    };
    return "Uptime: " + std::to_string(whole(days)) + " Day(s), " + std::to_string(whole(std::fmod(hours, 24.0))) +
           " Hour(s), " + std::to_string(whole(std::fmod(minutes, 60.0))) + " Minute(s), " +
           std::to_string(whole(std::fmod(seconds, 60.0))) + " Second(s)";
}

ThermalZones thermalZonesForModel(const std::string& model) {
    if (model.empty()) return {};
    if (contains(model, "ROCK")) return {0, 1};
    if (contains(model, "Tinker Board")) return {1, 2};
    return {0, -1};
}

std::string findIpv4DefaultRoute(std::string_view routeTable) {
    std::vector<std::string_view> lines = splitLines(routeTable);
    for (std::size_t i = 1; i < lines.size(); ++i) {  // the first line holds the column headings
        std::vector<std::string_view> fields = splitFields(lines[i]);
        if (fields.size() < 4 || fields[1] != "00000000") continue;
        std::optional<std::uint32_t> flags = leadingHex32(fields[3]);
        if (flags && (*flags & 1u) != 0) return std::string(fields[0]);
    }
    return {};
}

std::string findIpv6DefaultRoute(std::string_view routeTable) {
    for (std::string_view line : splitLines(routeTable)) {
        std::vector<std::string_view> fields = splitFields(line);
        if (fields.size() < 10) continue;
        if (fields[0] != std::string_view("00000000000000000000000000000000") || fields[1] != "00") continue;
        std::optional<std::uint32_t> flags = leadingHex32(fields[8]);
        if (flags && (*flags & 1u) != 0) return std::string(fields[9]);
    }
    return {};
}

std::string upperCase(std::string text) {
    for (char& c : text) {
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    }
    return text;
}

// ---- The readers -------------------------------------------------------------------------

std::string readModel() { return runShellCommand("cat /sys/firmware/devicetree/base/model 2>/dev/null"); }

std::string readSerialNumber(const std::string& model) {
    if (model.empty() || contains(model, "Tinker Board")) return {};
    return runShellCommand("cat /sys/firmware/devicetree/base/serial-number");
}

std::string readMemoryInfo(const std::string& model) {
    if (!contains(model, "Raspberry Pi")) return {};
    return runShellCommand("revision --memory | tr -d '\n'");
}

std::string readOsVersion() { return runShellCommand("sed -n 's/^VERSION=//p' /etc/os-release | tr -d '\n'"); }

std::string readSdCardSize() {
    for (const char* device : {"mmcblk0", "mmcblk1"}) {
        std::optional<std::uint64_t> sectors =
            parseSectorCount(readFileText(std::string("/sys/class/block/") + device + "/size"));
        if (sectors) return formatSdCardSize(*sectors);
    }
    return {};
}

std::string readCpuCount() {
    long count = sysconf(_SC_NPROCESSORS_ONLN);
    return std::to_string(count < 1 ? 1 : count);
}

std::string readCoreFrequency(std::int32_t core) {
    return formatCoreFrequency(
        readFileText("/sys/devices/system/cpu/cpu" + std::to_string(core) + "/cpufreq/scaling_cur_freq"));
}

std::string readCpuFrequencyPolicy() {
    const std::string policy = "/sys/devices/system/cpu/cpufreq/policy0/";
    return formatCpuFrequencyPolicy(readFileText(policy + "scaling_governor"),
                                    readFileText(policy + "scaling_min_freq"),
                                    readFileText(policy + "scaling_max_freq"));
}

std::string readUptime() {
    // Read as a double: a single-precision value would lose whole seconds after half a year.
    return formatUptimeText(parseUptimeSeconds(readFileText("/proc/uptime")));
}

std::string readTemperature(const std::string& model) {
    ThermalZones zones = thermalZonesForModel(model);
    if (zones.first < 0) return {};
    return joinWithComma(readZone(zones.first), readZone(zones.second));
}

std::string readDefaultRoutes() {
    std::string route = findIpv4DefaultRoute(readFile("/proc/net/route"));
    if (!route.empty()) return route;
    return findIpv6DefaultRoute(readFile("/proc/net/ipv6_route"));
}

std::string readMacAddress(const std::string& interfaceName) {
    std::string name = interfaceName.empty() ? readDefaultRoutes() : interfaceName;
    if (name.empty()) return "00:00:00:00:00:00";
    return upperCase(readFileText("/sys/class/net/" + name + "/address"));
}

std::string readIpv4Address(const std::string& interfaceName) {
    std::string name = interfaceName.empty() ? readDefaultRoutes() : interfaceName;
    if (name.empty()) return {};
    return interfaceAddress(name, AF_INET);
}

std::string readIpv6Address(const std::string& interfaceName) {
    std::string name = interfaceName.empty() ? readDefaultRoutes() : interfaceName;
    if (name.empty()) return {};
    return upperCase(interfaceAddress(name, AF_INET6));
}

}  // namespace lumetta::facts
