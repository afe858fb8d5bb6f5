#pragma once
// The device-services object: board facts as display texts (with a cache that a telemetry
// thread refreshes), reboot and television power.
//
// The program has one of these, built before main runs. Getters marked "cached" return the
// telemetry cache once its first cycle has succeeded, and read the system on the caller's
// thread before that.

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <stop_token>
#include <string>
#include <thread>
#include <vector>

#include "core/clock.h"

namespace lumetta {

class CecIo;

// What a telemetry cycle (and an uncached getter) reads. The real readers are
// `systemTelemetrySources()`; tests derive from this to script the facts.
class TelemetrySources {
public:
    virtual ~TelemetrySources() = default;
    virtual std::string temperature(const std::string& model);
    virtual std::string uptime();
    virtual std::string cpuCount();
    virtual std::string cpuFrequencyPolicy();
    virtual std::string coreFrequency(std::int32_t core);
    virtual std::string defaultRoute();
    virtual std::string macAddress(const std::string& interfaceName);
    virtual std::string ipv4Address(const std::string& interfaceName);
    virtual std::string ipv6Address(const std::string& interfaceName);
};

TelemetrySources& systemTelemetrySources();

// Replaceable parts of the object, for tests and tools; the defaults are the device's own.
// What they point to must outlive the object.
struct CommandSeams {
    std::optional<std::string> model;              // default: the device-tree model
    std::function<std::string()> rebootAction;     // default: the shell line "reboot"
    CecIo* cecIo = nullptr;                        // default: the kernel's CEC devices
    TelemetrySources* sources = nullptr;           // default: systemTelemetrySources()
    Clock* clock = nullptr;                        // default: systemClock(); 15 s pass between cycles
};

class Command {
public:
    Command();
    explicit Command(CommandSeams seams);
    ~Command();
    Command(const Command&) = delete;
    Command& operator=(const Command&) = delete;

    // Starts the telemetry thread; later calls do nothing.
    void startTelemetry();

    std::string model() const;
    std::string serialNumber() const;  // empty: the board has none
    std::string memoryInfo() const;
    std::string osVersion() const;
    std::string sdCardSize() const;

    std::string cpuCount() const;                          // cached
    std::string cpuFrequencyPolicyText() const;            // cached
    std::string coreFrequencyText(std::int32_t core) const;  // cached; empty outside the cached cores
    std::string uptimeText() const;                        // cached
    std::string temperatureText() const;                   // cached
    std::string defaultRouteText() const;                  // cached
    std::string macAddressText() const;                    // cached
    std::string ipv4AddressText() const;                   // cached
    std::string ipv6AddressText() const;                   // cached

    // Runs the shell line "reboot" and returns its output once it ends.
    std::string reboot() const;

    // "on" wakes the television and makes this device its active source, "standby" puts it to
    // standby; any other text, or a board without a model, does nothing. Returns the error
    // text, empty on success or when nothing was done.
    std::string setTvPower(const std::string& state) const;

private:
    void telemetryLoop(std::stop_token stop);
    void pauseBetweenCycles(const std::stop_token& stop);

    template <typename Field, typename Read>
    Field cached(const Field& field, Read read) const;

    CommandSeams seams;
    TelemetrySources& sources;
    Clock& clock;
    std::string modelText;

    mutable std::mutex cacheMutex;
    std::string cachedTemperature;
    std::string cachedUptime;
    std::string cachedCpuCount;
    std::string cachedCpuFrequencyPolicy;
    std::vector<std::string> cachedCoreFrequencies;
    std::string cachedDefaultRoute;
    std::string cachedMacAddress;
    std::string cachedIpv4Address;
    std::string cachedIpv6Address;

    // Lets a stop request cut the wait between cycles short.
    std::mutex pauseMutex;
    std::condition_variable_any pauseWake;

    std::atomic<bool> telemetryStarted{false};
    std::atomic<bool> cacheValid{false};
    std::jthread telemetryThread;  // last: it stops before the fields it uses go
};

}  // namespace lumetta
