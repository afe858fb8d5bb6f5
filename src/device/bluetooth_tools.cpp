#include "device/bluetooth_tools.h"

#include <cctype>
#include <fstream>

#include "core/child_process.h"
#include "core/int_range.h"
#include "device/bluetooth_pairing.h"

namespace lumetta {

namespace {

constexpr std::int64_t msPerSecond = 1000;
constexpr std::int64_t restartWaitMs = 10'000;

std::string lowerCase(std::string text) {
    for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

}  // namespace

ProcessResult runProcess(const std::vector<std::string>& arguments, std::stop_token stop, std::int64_t limitSeconds,
                         Clock& clock) {
    std::vector<std::string> argv;
    argv.reserve(arguments.size() + 1);
    argv.emplace_back("bluetoothctl");
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    ChildOptions options;
    options.out = ChildStream::Capture;
    options.err = ChildStream::Merge;
    options.limitMs = saturatingMultiply(limitSeconds, msPerSecond);
    options.stop = std::move(stop);
    options.termination = ChildTermination::TermThenKill;
    options.clock = &clock;
    ChildResult child = runChild(argv, options);
    return ProcessResult{child.exitStatus, std::move(child.out), child.outCut};
}

bool BluetoothPairing::commandSucceeded(const ProcessResult& result) {
    return result.exitStatus == 0 && !result.outputCut && result.output.find("Failed") == std::string::npos &&
           result.output.find("not available") == std::string::npos;
}

std::vector<std::pair<std::string, std::string>> parseBluetoothDevices(const std::string& output) {
    static const std::string marker = "Device ";
    constexpr std::size_t addressLength = 17;
    std::vector<std::pair<std::string, std::string>> devices;
    std::size_t begin = 0;
    while (begin < output.size()) {
        std::size_t end = output.find('\n', begin);
        if (end == std::string::npos) end = output.size();
        const std::string_view line(output.data() + begin, end - begin);
        const std::size_t p = line.find(marker);
        const std::size_t nameAt = p + marker.size() + addressLength + 1;
        if (p != std::string_view::npos && nameAt < line.size()) {
            devices.emplace_back(std::string(line.substr(p + marker.size(), addressLength)),
                                 std::string(line.substr(nameAt)));
        }
        begin = end + 1;
    }
    return devices;
}

bool inputDeviceExists(const std::string& name, const std::string& address, const std::filesystem::path& devices) {
    std::ifstream in(devices);
    const std::string wanted = "N: Name=\"" + name + "\"";
    const std::string lowerAddress = lowerCase(address);
    std::string line;
    while (std::getline(in, line)) {
        if (line == wanted) return true;
        if (!lowerAddress.empty() && lowerCase(line).find(lowerAddress) != std::string::npos) return true;
    }
    return false;
}

void resetBluetooth(const std::string& address, std::stop_token stop, Clock& clock) {
    if (!BluetoothPairing::commandSucceeded(runProcess({"--timeout", "3", "show"}, stop, 6, clock))) {
        // The restart's own output goes to the player's streams; its outcome is not examined.
        ChildOptions restart;
        restart.out = ChildStream::Inherit;
        restart.err = ChildStream::Inherit;
        restart.limitMs = restartWaitMs;
        restart.stop = stop;
        restart.termination = ChildTermination::KillOnly;
        restart.clock = &clock;
        runChild({"systemctl", "restart", "bluetooth.service"}, restart);
    }
    if (stop.stop_requested()) return;
    if (!address.empty()) runProcess({"--timeout", "5", "remove", address}, stop, 8, clock);
    runProcess({"--timeout", "5", "power", "on"}, stop, 8, clock);
    runProcess({"--timeout", "5", "pairable", "off"}, stop, 8, clock);
}

}  // namespace lumetta
