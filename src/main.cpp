// The program's start and end; the pieces live in core/program_entry.h.
#include <iostream>
#include <optional>

#include "core/log.h"
#include "core/palette.h"
#include "core/process_state.h"
#include "core/program_entry.h"

int main(int argc, char** argv) {
    using namespace lumetta;
    LaunchOptions options;
    if (const std::optional<int> status = handleCommandLine(argc, argv, options, std::cout)) return *status;

    loadStartupSettings("/home", std::cerr);

    // The player loop is not part of this build yet: end plainly instead of pretending to play.
    logLine(std::cerr, ansi::BOLD_RED, "[PLAYER]", " The player loop is not available yet");
    playerRunning = false;
    return 1;
}
