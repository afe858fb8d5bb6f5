#pragma once
// The download banner: "Downloading: " and the name of the playlist the service asked for, at
// the top centre of the screen while that playlist is being prepared. White words with the
// name in orange, outlined in black, shrunk as a whole to fit, faded in and out by the overlay
// reveal and turned with the screen.
//
// The loop owns one state for its whole run; each cycle it calls `state.reveal.update(name)`
// with the requested playlist's name (empty when none), and on each presented frame, after the
// slide and the menus, `drawDownloadScreen` with the same name.

#include <SDL3/SDL.h>

#include <string>
#include <string_view>

#include "core/clock.h"
#include "core/shared_defaults.h"
#include "display/draw.h"
#include "display/sdl_handles.h"
#include "player/overlay_reveal.h"

namespace lumetta::player {

struct DownloadScreenState {
    explicit DownloadScreenState(const Clock& clock = systemClock(),
                                 std::string fontsDirectory = sharedDefaults().fontsDirectory)
        : reveal(clock), fontsDirectory(std::move(fontsDirectory)) {}

    // The three pictures: the whole line outlined in black, "Downloading: " in white, the name
    // in orange. Made once per name and font size.
    TextureHandle outlineTexture;
    TextureHandle prefixTexture;
    TextureHandle nameTexture;
    std::string cachedName;
    SDL_Point outlineSize{0, 0};
    SDL_Point prefixSize{0, 0};
    SDL_Point nameSize{0, 0};
    int cachedFontSize = 0;
    OverlayReveal reveal;
    // Where "Lato-Bold.ttf" (else "Lato.ttf") is looked for.
    std::string fontsDirectory;
};

// The banner's font size for a layout `layoutHeight` pixels high (the turned height on a
// quarter-turned screen).
int downloadBannerFontSize(int layoutHeight);

// Draws the banner for `name` (empty: none is being prepared; the last name then fades out) on
// a screen turned by `rotation` degrees (the display rotation), through `submitter`.
void drawDownloadScreen(DownloadScreenState& state, SDL_Renderer* renderer, std::string_view name, int rotation,
                        DrawSubmitter& submitter = sdlDrawSubmitter());

}  // namespace lumetta::player
