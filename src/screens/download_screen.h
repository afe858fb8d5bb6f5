#pragma once
// The download banner: "Downloading: " and the name of the playlist the service asked for, at
// the top centre of the screen while that playlist is being prepared. White words with the
// name in orange, outlined in black, shrunk as a whole to fit, faded in and out by the overlay
// reveal and turned with the screen.
//
// The loop owns one `DownloadBanner` for its whole run; each cycle it calls `update` with the
// requested playlist's name (empty when none), and on each presented frame, after the slide and
// the menus, draws it.

#include <SDL3/SDL.h>

#include <string>
#include <string_view>

#include "core/clock.h"
#include "core/shared_defaults.h"
#include "display/draw.h"
#include "display/sdl_handles.h"
#include "screens/overlay_reveal.h"
#include "screens/screen.h"

namespace lumetta::screens {

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

// The banner as a screen: it takes no events and is finished while no name is asked for and the
// last one has faded out.
class DownloadBanner final : public Screen {
public:
    explicit DownloadBanner(const Clock& clock = systemClock(),
                            std::string fontsDirectory = sharedDefaults().fontsDirectory)
        : state_(clock, std::move(fontsDirectory)) {}

    // Once per cycle with the name of the playlist being prepared (empty: none): moves the
    // reveal on and tells whether it changed.
    bool update(std::string name);
    const std::string& name() const { return name_; }
    const OverlayReveal& reveal() const { return state_.reveal; }
    // The reveal is fully hidden with nothing asked for, or fully shown: no frame of the banner
    // then differs from the last.
    bool atRest() const;

    ScreenAnswer takeEvent(const SDL_Event&) override { return ScreenAnswer::ignored; }
    void draw(const ScreenOutput& output) override;
    bool finished() const override { return name_.empty() && state_.reveal.phaseA() <= 0; }

private:
    DownloadScreenState state_;
    std::string name_;
};

}  // namespace lumetta::screens
