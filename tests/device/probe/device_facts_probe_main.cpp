// Prints every device fact as "name=text" lines, read the way the player reads them
// (a fresh object, no telemetry, so every getter reads the system). With "--interface NAME"
// it also prints the address facts of that interface.

#include <cstdlib>
#include <iostream>
#include <string>

#include "device/command.h"
#include "device/device_facts.h"

int main(int argc, char** argv) {
    using namespace lumetta;
    Command command;
    std::cout << "model=" << command.model() << "\n"
              << "serial=" << command.serialNumber() << "\n"
              << "memory=" << command.memoryInfo() << "\n"
              << "os=" << command.osVersion() << "\n"
              << "sdcard=" << command.sdCardSize() << "\n"
              << "cpus=" << command.cpuCount() << "\n"
              << "policy=" << command.cpuFrequencyPolicyText() << "\n"
              << "uptime=" << command.uptimeText() << "\n"
              << "temperature=" << command.temperatureText() << "\n"
              << "route=" << command.defaultRouteText() << "\n"
              << "mac=" << command.macAddressText() << "\n"
              << "ipv4=" << command.ipv4AddressText() << "\n"
              << "ipv6=" << command.ipv6AddressText() << "\n";
    int cores = std::atoi(command.cpuCount().c_str());
    for (int i = 0; i < cores; ++i) std::cout << "core" << i << "=" << command.coreFrequencyText(i) << "\n";
    for (int i = 1; i + 1 < argc; i += 2) {
        if (std::string(argv[i]) != "--interface") continue;
        std::string name = argv[i + 1];
        std::cout << name << ".mac=" << facts::readMacAddress(name) << "\n"
                  << name << ".ipv4=" << facts::readIpv4Address(name) << "\n"
                  << name << ".ipv6=" << facts::readIpv6Address(name) << "\n";
    }
    return 0;
}
