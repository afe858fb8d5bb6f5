// The program's start and end; the pieces live in core/program_entry.h.
#include <iostream>
#include <optional>

#include "core/log.h"
#include "core/palette.h"
#include "core/process_state.h"
#include "core/program_entry.h"
#include "device/command.h"

namespace lumetta {
// The one device-services object, built before main runs; its destructor stops the telemetry thread.
Command command;
}  // namespace lumetta

int main(int argc, char** argv) {
    using namespace lumetta;
    LaunchOptions options;
    if (const std::optional<int> status = handleCommandLine(argc, argv, options, std::cout)) return *status;

    loadStartupSettings("/home", std::cerr);
    deviceId = deriveDeviceId(command.serialNumber());
    command.startTelemetry();

    // The player loop is not part of this build yet: end plainly instead of pretending to play.
    logLine(std::cerr, ansi::BOLD_RED, "[PLAYER]", " The player loop is not available yet");
    const int status = 1;

    playerRunning = false;
    if (factoryResetRequested) factoryReset(configBaseDirectory, [] { command.reboot(); }, std::cout, std::cerr);
    return status;
}
