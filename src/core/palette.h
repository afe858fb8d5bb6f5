#pragma once
// The log palette: process-wide colour sequences fixed before main runs.
//
// Every file that includes this header carries a small initialiser object, so whichever
// file is initialised first fixes the values; a file may therefore use them in its own
// static initialisation whatever the link order.

#include <functional>
#include <string_view>

namespace lumetta {

namespace ansi {
// Each entry is empty when colour is off.
extern const std::string_view& RESET;
extern const std::string_view& BLACK;
extern const std::string_view& GREY;
extern const std::string_view& WHITE;
extern const std::string_view& RED;
extern const std::string_view& GREEN;
extern const std::string_view& YELLOW;
extern const std::string_view& BLUE;
extern const std::string_view& MAGENTA;
extern const std::string_view& CYAN;
extern const std::string_view& ORANGE;
extern const std::string_view& DARK_GREY;
extern const std::string_view& LIGHT_GREY;
extern const std::string_view& BOLD_WHITE;
extern const std::string_view& BOLD_RED;
extern const std::string_view& BOLD_GREEN;
extern const std::string_view& BOLD_YELLOW;
extern const std::string_view& BOLD_BLUE;
extern const std::string_view& BOLD_MAGENTA;
extern const std::string_view& BOLD_CYAN;
extern const std::string_view& BOLD_ORANGE;
}  // namespace ansi

// Whether the palette holds colour sequences (decided once, before the first entry is set).
bool colorEnabled();

// The decision behind `colorEnabled`, exposed so it can be checked with other inputs.
using EnvLookup = std::function<const char*(const char*)>;
using IsTerminal = std::function<bool(int)>;
bool decideColor(const EnvLookup& getenv, const IsTerminal& isTerminal);

namespace detail {
struct PaletteInit {
    PaletteInit();
    ~PaletteInit();
    PaletteInit(const PaletteInit&) = delete;
    PaletteInit& operator=(const PaletteInit&) = delete;
};
static const PaletteInit paletteInit;
}  // namespace detail

}  // namespace lumetta
