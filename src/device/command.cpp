#include "device/command.h"

#include <cstdlib>
#include <exception>
#include <iostream>

#include "core/log.h"
#include "device/cec.h"
#include "device/device_facts.h"

namespace lumetta {

namespace {

constexpr int stepsPerCycle = 15;
constexpr int secondsPerCycle = 15;
constexpr int networkRefreshSeconds = 300;

}  // namespace

Command::Command() : Command(CommandSeams{}) {}

Command::Command(CommandSeams commandSeams) : seams(std::move(commandSeams)) {
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

// ---- Readers, through the seams --------------------------------------------------------------

std::string Command::readTemperature() const {
    return seams.sources.temperature ? seams.sources.temperature() : facts::readTemperature(modelText);
}
std::string Command::formatUptime() const {
    return seams.sources.uptime ? seams.sources.uptime() : facts::readUptime();
}
std::string Command::readCpuCount() const {
    return seams.sources.cpuCount ? seams.sources.cpuCount() : facts::readCpuCount();
}
std::string Command::readCpuFrequencyPolicy() const {
    return seams.sources.cpuFrequencyPolicy ? seams.sources.cpuFrequencyPolicy() : facts::readCpuFrequencyPolicy();
}
std::string Command::readCoreFrequency(std::int32_t core) const {
    return seams.sources.coreFrequency ? seams.sources.coreFrequency(core) : facts::readCoreFrequency(core);
}
std::string Command::readDefaultRoutes() const {
    return seams.sources.defaultRoute ? seams.sources.defaultRoute() : facts::readDefaultRoutes();
}
std::string Command::readMacAddress(const std::string& interfaceName) const {
    return seams.sources.macAddress ? seams.sources.macAddress(interfaceName) : facts::readMacAddress(interfaceName);
}
std::string Command::readIpv4Address(const std::string& interfaceName) const {
    return seams.sources.ipv4Address ? seams.sources.ipv4Address(interfaceName) : facts::readIpv4Address(interfaceName);
}
std::string Command::readIpv6Address(const std::string& interfaceName) const {
    return seams.sources.ipv6Address ? seams.sources.ipv6Address(interfaceName) : facts::readIpv6Address(interfaceName);
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
    return cached(cachedCpuCount, [this] { return readCpuCount(); });
}
std::string Command::cpuFrequencyPolicyText() const {
    return cached(cachedCpuFrequencyPolicy, [this] { return readCpuFrequencyPolicy(); });
}
std::string Command::coreFrequencyText(std::int32_t core) const {
    if (cacheValid.load(std::memory_order_acquire)) {
        std::lock_guard lock(cacheMutex);
        if (core < 0 || static_cast<std::size_t>(core) >= cachedCoreFrequencies.size()) return {};
        return cachedCoreFrequencies[static_cast<std::size_t>(core)];
    }
    return readCoreFrequency(core);
}
std::string Command::uptimeText() const {
    return cached(cachedUptime, [this] { return formatUptime(); });
}
std::string Command::temperatureText() const {
    return cached(cachedTemperature, [this] { return readTemperature(); });
}
std::string Command::defaultRouteText() const {
    return cached(cachedDefaultRoute, [this] { return readDefaultRoutes(); });
}
std::string Command::macAddressText() const {
    return cached(cachedMacAddress, [this] { return readMacAddress(""); });
}
std::string Command::ipv4AddressText() const {
    return cached(cachedIpv4Address, [this] { return readIpv4Address(""); });
}
std::string Command::ipv6AddressText() const {
    return cached(cachedIpv6Address, [this] { return readIpv6Address(""); });
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
    for (int step = 0; step < stepsPerCycle; ++step) {
        if (stop.stop_requested()) return;
        // Wakes at once on a stop request.
        pauseWake.wait_for(lock, stop, seams.telemetryStep, [] { return false; });
    }
}

void Command::telemetryLoop(std::stop_token stop) {
    bool networkDue = true;
    bool cpuDue = true;
    int secondsSinceNetwork = 0;

    while (!stop.stop_requested()) {
        try {
            std::string temperature = readTemperature();
            std::string uptime = formatUptime();

            std::string count;
            std::string policy;
            std::vector<std::string> cores;
            if (cpuDue) {
                count = readCpuCount();
                policy = readCpuFrequencyPolicy();
                long n = std::strtol(count.c_str(), nullptr, 10);
                if (n > 0) {
                    cores.reserve(static_cast<std::size_t>(n));
                    for (long i = 0; i < n; ++i) cores.push_back(readCoreFrequency(static_cast<std::int32_t>(i)));
                }
            }

            std::string route;
            std::string mac;
            std::string ipv4;
            std::string ipv6;
            if (networkDue) {
                route = readDefaultRoutes();
                if (!route.empty()) {
                    mac = readMacAddress(route);
                    ipv4 = readIpv4Address(route);
                    ipv6 = readIpv6Address(route);
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
