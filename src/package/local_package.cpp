#include "package/local_package.h"

#include <iostream>

#include "core/log.h"
#include "core/palette.h"

namespace lumetta {

// The local package player is not part of this build yet: say so plainly instead of pretending.
int runLocalPlaylistPackage(int /*argc*/, char** /*argv*/) {
    logLine(std::cerr, ansi::BOLD_RED, "[PACKAGE]", " Local playlist packages are not available yet");
    return 1;
}

}  // namespace lumetta
