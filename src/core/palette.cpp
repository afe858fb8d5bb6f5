#include "core/palette.h"

#include <unistd.h>

#include <cstdlib>

namespace lumetta {
namespace {

constexpr int paletteSize = 21;

// Zero-initialised storage (empty views) until the first initialiser fills it.
std::string_view paletteStorage[paletteSize];

constexpr std::string_view paletteSequences[paletteSize] = {
    "\x1b[0m",
    "\x1b[38;2;0;0;0m",
    "\x1b[38;2;128;128;128m",
    "\x1b[38;2;255;255;255m",
    "\x1b[38;2;255;0;0m",
    "\x1b[38;2;0;255;0m",
    "\x1b[38;2;255;255;0m",
    "\x1b[38;2;0;0;255m",
    "\x1b[38;2;255;0;255m",
    "\x1b[38;2;0;255;255m",
    "\x1b[38;2;255;128;0m",
    "\x1b[38;2;85;85;85m",
    "\x1b[38;2;192;192;192m",
    "\x1b[1;38;2;255;255;255m",
    "\x1b[1;38;2;255;64;64m",
    "\x1b[1;38;2;64;255;64m",
    "\x1b[1;38;2;255;255;64m",
    "\x1b[1;38;2;64;128;255m",
    "\x1b[1;38;2;255;64;255m",
    "\x1b[1;38;2;64;255;255m",
    "\x1b[1;38;2;255;165;0m",
};

// Plain integers are zero before any dynamic initialisation runs.
int initialiserCount = 0;
bool colorDecided = false;
bool colorOn = false;

}  // namespace

namespace ansi {
const std::string_view& RESET = paletteStorage[0];
const std::string_view& BLACK = paletteStorage[1];
const std::string_view& GREY = paletteStorage[2];
const std::string_view& WHITE = paletteStorage[3];
const std::string_view& RED = paletteStorage[4];
const std::string_view& GREEN = paletteStorage[5];
const std::string_view& YELLOW = paletteStorage[6];
const std::string_view& BLUE = paletteStorage[7];
const std::string_view& MAGENTA = paletteStorage[8];
const std::string_view& CYAN = paletteStorage[9];
const std::string_view& ORANGE = paletteStorage[10];
const std::string_view& DARK_GREY = paletteStorage[11];
const std::string_view& LIGHT_GREY = paletteStorage[12];
const std::string_view& BOLD_WHITE = paletteStorage[13];
const std::string_view& BOLD_RED = paletteStorage[14];
const std::string_view& BOLD_GREEN = paletteStorage[15];
const std::string_view& BOLD_YELLOW = paletteStorage[16];
const std::string_view& BOLD_BLUE = paletteStorage[17];
const std::string_view& BOLD_MAGENTA = paletteStorage[18];
const std::string_view& BOLD_CYAN = paletteStorage[19];
const std::string_view& BOLD_ORANGE = paletteStorage[20];
}  // namespace ansi

bool decideColor(const EnvLookup& getenv, const IsTerminal& isTerminal) {
    if (getenv("NO_COLOR") != nullptr) return false;
    const char* term = getenv("TERM");
    if (term != nullptr && std::string_view(term) == "dumb") return false;
    return isTerminal(1) && isTerminal(2);
}

bool colorEnabled() { return colorOn; }

namespace detail {

PaletteInit::PaletteInit() {
    if (initialiserCount++ != 0) return;
    if (!colorDecided) {
        colorOn = decideColor([](const char* name) { return std::getenv(name); },
                              [](int fd) { return ::isatty(fd) == 1; });
        colorDecided = true;
    }
    for (int i = 0; i < paletteSize; ++i) paletteStorage[i] = colorOn ? paletteSequences[i] : std::string_view{};
}

PaletteInit::~PaletteInit() { --initialiserCount; }

}  // namespace detail
}  // namespace lumetta
