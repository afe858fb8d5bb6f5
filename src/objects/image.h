#pragma once
// The slide element that shows one picture in a rectangle of a slide: a still picture from a
// file (taken from the prepared-image cache when a worker decoded it already), an animated
// GIF or AVIF, an XPM picture compiled into the program, a PNG given as Base64 text, or the
// built-in picture for a playlist without slides.
//
// Everything is decoded and uploaded at construction, on the render thread. A constructor
// never throws: a failure is logged with the form's prefix and leaves an empty element that
// draws nothing. Drawing failures are logged and only that frame's draw is lost.

#include <SDL3/SDL.h>

#include <cstdint>
#include <string>
#include <vector>

#include "core/clock.h"
#include "display/element_opacity.h"
#include "display/sdl_handles.h"
#include "objects/image_fit.h"

namespace lumetta {

class Display;

// The built-in pictures that Image::fromMemory shows.
enum class BuiltInPicture { NoSlides };

class Image {
public:
    // A picture file; ".gif" and ".avif" (any case) load as animations, whose frames follow
    // `clock` (its ticks). The opacity is read by parseImageOpacity's rule (imageOpacityAlpha).
    Image(Display* display, int slideWidth, int slideHeight, int x, int y, int width, int height,
          const std::string& path, ImageFit fit, ElementOpacity opacity, SDL_Color background,
          const Clock& clock = systemClock());
    // The same with the fit as a word (imageFitOf).
    Image(Display* display, int slideWidth, int slideHeight, int x, int y, int width, int height,
          const std::string& path, const std::string& fitMode, ElementOpacity opacity, SDL_Color background,
          const Clock& clock = systemClock());

    // An XPM picture given as its text lines: opacity "1", opaque black background.
    static Image fromXpm(Display* display, int slideWidth, int slideHeight, int x, int y, int width, int height,
                         const char* const* xpm, const std::string& fitMode);
    // A PNG file as Base64 text: "fit", opacity "1", opaque black background.
    static Image fromPngBase64(Display* display, int slideWidth, int slideHeight, int x, int y, int width,
                               int height, const std::string& base64Png);
    // A picture built into the program.
    static Image fromMemory(Display* display, int slideWidth, int slideHeight, int x, int y, int width, int height,
                            BuiltInPicture picture, const std::string& fitMode, ElementOpacity opacity,
                            SDL_Color background);

    Image(Image&&) noexcept = default;
    Image& operator=(Image&&) noexcept = default;

    // Draws the current picture (or animation frame). `decorate` adds the background fill of
    // "fit" mode and applies the screen shift.
    void draw(bool decorate);

    bool isLoaded() const { return picture_.still != nullptr || !picture_.frames.empty(); }
    bool isAnimated() const { return !picture_.frames.empty(); }

private:
    // What a load makes; a failed load leaves the element with none of it.
    struct Picture {
        TextureHandle still;               // null for an animation
        TextureHandle background;          // the "fit" box fill, when there is one
        std::vector<TextureHandle> frames; // an animation's frames
        std::vector<std::uint32_t> delays; // per frame, ms
        int width = 0;
        int height = 0;
    };

    // The geometry and options only; the public forms load the picture into it.
    struct Unloaded {};
    Image(Unloaded, Display* display, int slideWidth, int slideHeight, int x, int y, int width, int height,
          ImageFit fit, ElementOpacity opacity, SDL_Color background);

    // Runs one of the loaders below and keeps what it made; a failure is logged after `prefix`
    // (and `colored`: in bold red) and leaves the element empty.
    template <typename Load>
    void load(const char* prefix, bool colored, Load&& load);
    Picture loadFile(SDL_Renderer* renderer, const std::string& path) const;
    Picture loadAnimation(SDL_Renderer* renderer, const std::string& path, std::uint8_t alpha) const;
    Picture loadXpm(SDL_Renderer* renderer, const char* const* xpm) const;
    Picture loadPngBase64(SDL_Renderer* renderer, const std::string& base64Png) const;
    Picture loadBuiltIn(SDL_Renderer* renderer) const;
    // Adds the "fit" background fill when the mode and colour ask for one.
    void addBackgroundIfFit(SDL_Renderer* renderer, Picture& picture) const;
    SDL_Renderer* requireRenderer() const;
    SDL_Texture* currentTexture();

    Display* display_ = nullptr;
    int slideWidth_ = 0;
    int slideHeight_ = 0;
    int x_ = 0;
    int y_ = 0;
    int width_ = 0;
    int height_ = 0;
    ImageFit fit_ = ImageFit::Stretch;
    ElementOpacity opacity_;
    SDL_Color background_{0, 0, 0, 255};
    const Clock* clock_ = &systemClock();
    Picture picture_;
    std::uint32_t currentFrame_ = 0;
    std::uint64_t nextFrameDue_ = 0;
};

// A 1×1 blended texture of one colour; null (with nothing left behind) on any failure.
TextureHandle createSolidColorTexture(SDL_Renderer* renderer, SDL_Color color);

}  // namespace lumetta
