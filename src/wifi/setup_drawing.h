#pragma once
// Small services of the Wi-Fi set-up screen and its on-screen keyboard: text and rectangles on
// the SDL renderer, the screen's font, a sleep, and running an external program to its end.
// They keep no state and report no failure: whatever cannot be done is left undone.
//
// Everything here runs on the screen's thread (the main thread, which owns the renderer);
// `runCommand` and `sleepMilliseconds` block it.
//
// Positions and sizes are ints in the renderer's logical pixels, handed to SDL as floats.
// Texts are UTF-8 and rendered anew at every call: nothing is cached between frames.

#include <SDL3/SDL.h>
#include <SDL3_ttf/SDL_ttf.h>
#include <time.h>

#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "display/sdl_handles.h"

namespace lumetta::wifi {

// The screen's accent colour.
inline constexpr SDL_Color kAccent{255, 128, 0, 255};

// Draws `text` with its top-left corner at (x, y) in `color`. Nothing without a renderer or a
// font, for an empty text, or when the text cannot be rendered.
void drawTextAt(SDL_Renderer* renderer, TTF_Font* font, std::string_view text, int x, int y, SDL_Color color);

// The same in the accent colour.
void drawAccentText(SDL_Renderer* renderer, TTF_Font* font, std::string_view text, int x, int y);

// The same, cut off on the right after `maxWidth` pixels (no scaling, no ellipsis); nothing
// when `maxWidth` is 0 or less.
void drawText(SDL_Renderer* renderer, TTF_Font* font, std::string_view text, int x, int y, int maxWidth,
              SDL_Color color);

// Fills `rect` (null: the whole target) with the renderer's current draw colour.
void fillRect(SDL_Renderer* renderer, const SDL_Rect* rect);

// Where the screen's font is looked for, in order: "<fontsDirectory>/Lato-Regular.ttf", then
// "assets/fonts/Lato-Regular.ttf", then DejaVu Sans of the system.
std::vector<std::filesystem::path> fontCandidates(const std::string& fontsDirectory);

// The first candidate that exists and opens as a font at `size` points; empty when none does.
// The font engine must be initialised. A file system error other than "does not exist" while
// checking a path (a loop of links, a directory that cannot be searched) is thrown as
// std::filesystem::filesystem_error.
FontHandle openFont(int size, const std::vector<std::filesystem::path>& candidates);

// The same over the candidates of the shared fonts directory.
FontHandle openFont(int size);

// The call that sleeps: nanosleep's contract (0, or -1 with errno and, on EINTR, the time left).
using Nanosleep = std::function<int(const timespec* request, timespec* remaining)>;

// Returns after `ms` milliseconds; at once for 0 or less. A sleep cut short by a signal goes on
// for the time that was left; any other failure ends it.
void sleepMilliseconds(std::int64_t ms);
void sleepMilliseconds(std::int64_t ms, const Nanosleep& sleep);

// Runs `args[0]` (looked up on PATH) with the arguments `args[1..]` and waits for it to end,
// however long it takes. Its standard output and standard error go to /dev/null; standard
// input is the caller's. Nothing for an empty list. Callers do not look at the result: it is
// the exit code (127 when the program cannot be run), or -1 when the child could not be
// started or ended through a signal.
int runCommand(const std::vector<std::string>& args);

}  // namespace lumetta::wifi
