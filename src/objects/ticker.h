#pragma once
// The scrolling ticker band: one line of text rendered once into a wide strip, shown through a
// band-sized window that moves along the strip with the caller's offset. The strip repeats
// after a gap as wide as the band is high.

#include <SDL3/SDL.h>
#include <SDL3_ttf/SDL_ttf.h>

#include <cstdint>
#include <string>

#include "display/sdl_handles.h"

namespace lumetta {

class Display;

class Ticker {
public:
    // Never throws for a bad argument or a failed resource: the failure is logged and the
    // Ticker is left not ready. A box of four zeros is the whole logical screen.
    Ticker(Display* display, int screenWidth, int screenHeight, SDL_Rect box, std::string text,
           std::string fontFamily = "Lato", std::uint8_t fontStyle = 1, SDL_Color color = {255, 255, 255, 255},
           SDL_Color backgroundColor = {0, 0, 0, 128});
    Ticker(const Ticker&) = delete;
    Ticker& operator=(const Ticker&) = delete;

    // Draws the band with the window starting at strip position `offset` (any value); true when
    // the band was rendered. A failing frame is logged and leaves the Ticker ready.
    bool draw(int offset, SDL_FlipMode flip);

    int stripWidth() const;
    bool isReady() const;

private:
    // Makes the strip, window and texture; they are kept only when all three were made.
    void build();
    void render(int offset, SDL_FlipMode flip, SDL_Renderer* renderer);

    Display* display_;
    SDL_Rect box_;
    std::string text_;
    std::string fontFamily_;
    std::uint8_t fontStyle_;
    SDL_Color color_;
    SDL_Color backgroundColor_;
    SurfaceHandle strip_;
    SurfaceHandle window_;
    TextureHandle texture_;
    int screenWidth_;
    int screenHeight_;
};

}  // namespace lumetta
