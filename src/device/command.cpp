#include "device/command.h"

#include <cstdlib>
#include <exception>
#include <iostream>

#include "core/log.h"
#include "device/cec.h"
#include "device/device_facts.h"

namespace lumetta {

namespace {

constexpr int secondsPerCycle = 15;
constexpr int networkRefreshSeconds = 300;

}  // namespace

Command::Command() : Command(CommandSeams{}) {}

Command::Command(CommandSeams commandSeams)
    : seams(std::move(commandSeams)),
      sources(seams.sources != nullptr ? *seams.sources : systemTelemetrySources()),
      clock(seams.clock != nullptr ? *seams.clock : systemClock()) {
    modelText = seams.model ? *seams.model : facts::readModel();
}

Command::~Command() {
    if (telemetryThread.joinable()) {
        telemetryThread.request_stop();
        telemetryThread.join();
    }
}

void Command::startTelemetry() {
    bool expected = false;
    if (!telemetryStarted.compare_exchange_strong(expected, true)) return;
    telemetryThread = std::jthread([this](std::stop_token stop) { telemetryLoop(std::move(stop)); });
}

// ---- Readers -----------------------------------------------------------------------------

std::string TelemetrySources::temperature(const std::string& model) { return facts::readTemperature(model); }
std::string TelemetrySources::uptime() { return facts::readUptime(); }
std::string TelemetrySources::cpuCount() { return facts::readCpuCount(); }
std::string TelemetrySources::cpuFrequencyPolicy() { return facts::readCpuFrequencyPolicy(); }
std::string TelemetrySources::coreFrequency(std::int32_t core) { return facts::readCoreFrequency(core); }
std::string TelemetrySources::defaultRoute() { return facts::readDefaultRoutes(); }
std::string TelemetrySources::macAddress(const std::string& interfaceName) {
    return facts::readMacAddress(interfaceName);
}
std::string TelemetrySources::ipv4Address(const std::string& interfaceName) {
    return facts::readIpv4Address(interfaceName);
}
std::string TelemetrySources::ipv6Address(const std::string& interfaceName) {
    return facts::readIpv6Address(interfaceName);
}

TelemetrySources& systemTelemetrySources() {
    static TelemetrySources sources;
    return sources;
}

// ---- Getters -----------------------------------------------------------------------------

template <typename Field, typename Read>
Field Command::cached(const Field& field, Read read) const {
    if (cacheValid.load(std::memory_order_acquire)) {
        std::lock_guard lock(cacheMutex);
        return field;
    }
    return read();
}

std::string Command::model() const { return modelText; }
std::string Command::serialNumber() const { return facts::readSerialNumber(modelText); }
std::string Command::memoryInfo() const { return facts::readMemoryInfo(modelText); }
std::string Command::osVersion() const { return facts::readOsVersion(); }
std::string Command::sdCardSize() const { return facts::readSdCardSize(); }

std::string Command::cpuCount() const {
    return cached(cachedCpuCount, [this] { return sources.cpuCount(); });
}
std::string Command::cpuFrequencyPolicyText() const {
    return cached(cachedCpuFrequencyPolicy, [this] { return sources.cpuFrequencyPolicy(); });
}
std::string Command::coreFrequencyText(std::int32_t core) const {
    if (cacheValid.load(std::memory_order_acquire)) {
        std::lock_guard lock(cacheMutex);
        if (core < 0 || static_cast<std::size_t>(core) >= cachedCoreFrequencies.size()) return {};
        return cachedCoreFrequencies[static_cast<std::size_t>(core)];
    }
    return sources.coreFrequency(core);
}
std::string Command::uptimeText() const {
    return cached(cachedUptime, [this] { return sources.uptime(); });
}
std::string Command::temperatureText() const {
    return cached(cachedTemperature, [this] { return sources.temperature(modelText); });
}
std::string Command::defaultRouteText() const {
    return cached(cachedDefaultRoute, [this] { return sources.defaultRoute(); });
}
std::string Command::macAddressText() const {
    return cached(cachedMacAddress, [this] { return sources.macAddress(""); });
}
std::string Command::ipv4AddressText() const {
    return cached(cachedIpv4Address, [this] { return sources.ipv4Address(""); });
}
std::string Command::ipv6AddressText() const {
    return cached(cachedIpv6Address, [this] { return sources.ipv6Address(""); });
}

// ---- Commands ----------------------------------------------------------------------------

std::string Command::reboot() const {
    if (seams.rebootAction) return seams.rebootAction();
    return facts::runShellCommand("reboot");
}

std::string Command::setTvPower(const std::string& state) const {
    if (modelText.empty()) return {};
    CecIo& io = seams.cecIo != nullptr ? *seams.cecIo : systemCecIo();
    if (state == "on") return cecSetPower(io, true);
    if (state == "standby") return cecSetPower(io, false);
    return {};
}

// ---- Telemetry ---------------------------------------------------------------------------

void Command::pauseBetweenCycles(const std::stop_token& stop) {
    std::unique_lock lock(pauseMutex);
    // Wakes at once on a stop request.
    clock.waitFor(pauseWake, lock, secondsPerCycle * 1000, stop, [] { return false; });
}

void Command::telemetryLoop(std::stop_token stop) {
    bool networkDue = true;
    bool cpuDue = true;
    int secondsSinceNetwork = 0;

    while (!stop.stop_requested()) {
        try {
            std::string temperature = sources.temperature(modelText);
            std::string uptime = sources.uptime();

            std::string count;
            std::string policy;
            std::vector<std::string> cores;
            if (cpuDue) {
                count = sources.cpuCount();
                policy = sources.cpuFrequencyPolicy();
                long n = std::strtol(count.c_str(), nullptr, 10);
                if (n > 0) {
                    cores.reserve(static_cast<std::size_t>(n));
                    for (long i = 0; i < n; ++i) cores.push_back(sources.coreFrequency(static_cast<std::int32_t>(i)));
                }
            }

            std::string route;
            std::string mac;
            std::string ipv4;
            std::string ipv6;
            if (networkDue) {
                route = sources.defaultRoute();
                if (!route.empty()) {
                    mac = sources.macAddress(route);
                    ipv4 = sources.ipv4Address(route);
                    ipv6 = sources.ipv6Address(route);
                } else {
                    mac = "00:00:00:00:00:00";
                }
            }

            {
                std::lock_guard lock(cacheMutex);
                cachedTemperature = std::move(temperature);
                cachedUptime = std::move(uptime);
                if (cpuDue) {
                    cachedCpuCount = std::move(count);
                    cachedCpuFrequencyPolicy = std::move(policy);
                    cachedCoreFrequencies = std::move(cores);
                }
                if (networkDue) {
                    cachedDefaultRoute = std::move(route);
                    cachedMacAddress = std::move(mac);
                    cachedIpv4Address = std::move(ipv4);
                    cachedIpv6Address = std::move(ipv6);
                    secondsSinceNetwork = secondsPerCycle;
                } else {
                    secondsSinceNetwork += secondsPerCycle;
                }
                cacheValid.store(true, std::memory_order_release);
            }
            cpuDue = false;
            networkDue = false;
        } catch (const std::exception& error) {
            // Nothing of the failed cycle is kept; what was due is read again next time.
            logText(std::cerr, std::string("[TELEMETRY] ") + error.what());
            secondsSinceNetwork += secondsPerCycle;
        }

        pauseBetweenCycles(stop);
        if (secondsSinceNetwork >= networkRefreshSeconds) networkDue = true;
    }
}

}  // namespace lumetta
