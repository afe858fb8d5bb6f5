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

namespace lumetta {

class Display;

// The clock animations run on, in milliseconds (SDL_GetTicks unless replaced).
using ImageClock = std::uint64_t (*)();
// Replaces the animation clock; null puts SDL_GetTicks back. Returns the clock it replaced.
ImageClock setImageClock(ImageClock clock);

// The built-in pictures that Image::fromMemory shows.
enum class BuiltInPicture { NoSlides };

class Image {
public:
    // A picture file; ".gif" and ".avif" (any case) load as animations.
    Image(Display* display, int slideWidth, int slideHeight, int x, int y, int width, int height,
          const std::string& path, const std::string& fitMode, const std::string& opacity, SDL_Color background);

    // An XPM picture given as its text lines: opacity "1", opaque black background.
    static Image fromXpm(Display* display, int slideWidth, int slideHeight, int x, int y, int width, int height,
                         const char* const* xpm, const std::string& fitMode);
    // A PNG file as Base64 text: "fit", opacity "1", opaque black background.
    static Image fromPngBase64(Display* display, int slideWidth, int slideHeight, int x, int y, int width,
                               int height, const std::string& base64Png);
    // A picture built into the program.
    static Image fromMemory(Display* display, int slideWidth, int slideHeight, int x, int y, int width, int height,
                            BuiltInPicture picture, const std::string& fitMode, const std::string& opacity,
                            SDL_Color background);

    ~Image();
    Image(const Image&) = delete;
    Image& operator=(const Image&) = delete;
    Image(Image&& other) noexcept;
    Image& operator=(Image&& other) noexcept;

    // Draws the current picture (or animation frame). `decorate` adds the background fill of
    // "fit" mode and applies the screen shift.
    void draw(bool decorate);

    bool isLoaded() const { return texture_ != nullptr || !frameTextures_.empty(); }
    bool isAnimated() const { return animated_; }

private:
    // The geometry and options only; the public forms load the picture into it.
    struct Unloaded {};
    Image(Unloaded, Display* display, int slideWidth, int slideHeight, int x, int y, int width, int height,
          const std::string& fitMode, const std::string& opacity, SDL_Color background);

    void loadFile(SDL_Renderer* renderer, const std::string& path);
    void loadAnimation(SDL_Renderer* renderer, const std::string& path, std::uint8_t alpha);
    void loadXpm(SDL_Renderer* renderer, const char* const* xpm);
    void loadPngBase64(SDL_Renderer* renderer, const std::string& base64Png);
    void loadBuiltIn(SDL_Renderer* renderer);
    // Turns a decoded surface into the still texture; the caller keeps the surface.
    void takeStillSurface(SDL_Renderer* renderer, SDL_Surface* surface);
    void makeBackgroundIfFit(SDL_Renderer* renderer);
    SDL_Renderer* requireRenderer() const;
    SDL_Texture* currentTexture();
    void release();

    Display* display_ = nullptr;
    int slideWidth_ = 0;
    int slideHeight_ = 0;
    int x_ = 0;
    int y_ = 0;
    int width_ = 0;
    int height_ = 0;
    int pictureWidth_ = 0;
    int pictureHeight_ = 0;
    std::string fitMode_;
    std::string opacity_;
    SDL_Color background_{0, 0, 0, 255};
    SDL_Texture* texture_ = nullptr;
    SDL_Texture* backgroundTexture_ = nullptr;
    std::vector<SDL_Texture*> frameTextures_;
    std::vector<std::uint32_t> frameDelays_;
    std::uint32_t currentFrame_ = 0;
    std::uint64_t nextFrameDue_ = 0;
    bool animated_ = false;
};

// A 1×1 blended texture of one colour; null (with nothing left behind) on any failure.
SDL_Texture* createSolidColorTexture(SDL_Renderer* renderer, SDL_Color color);

}  // namespace lumetta
