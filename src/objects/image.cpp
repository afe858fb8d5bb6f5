#include "objects/image.h"

#include <SDL3_image/SDL_image.h>

#include <algorithm>
#include <cctype>
#include <iostream>
#include <stdexcept>
#include <utility>

#include "core/file_utils.h"
#include "core/palette.h"
#include "display/display.h"
#include "display/draw.h"
#include "display/slide_mapping.h"
#include "display/screen_shift.h"
#include "objects/image_layout.h"
#include "objects/no_slides_picture.h"
#include "objects/prepared_image_cache.h"

namespace lumetta {

namespace {

std::uint64_t sdlTicks() { return SDL_GetTicks(); }
ImageClock imageClock = sdlTicks;

[[noreturn]] void fail(const std::string& what) { throw std::runtime_error(what + SDL_GetError()); }

std::string lowerCase(std::string text) {
    for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

// Everything after the last "." of the path, lower-cased; a dot in a directory name counts.
std::string extensionOf(const std::string& path) {
    const auto dot = path.rfind('.');
    return dot == std::string::npos ? std::string() : lowerCase(path.substr(dot));
}

// A texture from a surface, blended, with the given alpha modulation (none when alpha is null).
SDL_Texture* uploadBlended(SDL_Renderer* renderer, SDL_Surface* surface, const std::uint8_t* alpha) {
    if (!SDL_SetSurfaceBlendMode(surface, SDL_BLENDMODE_BLEND)) fail("SDL_SetSurfaceBlendMode failed: ");
    SDL_Texture* texture = SDL_CreateTextureFromSurface(renderer, surface);
    if (!texture) fail("SDL_CreateTextureFromSurface failed: ");
    if (!SDL_SetTextureBlendMode(texture, SDL_BLENDMODE_BLEND)) {
        SDL_DestroyTexture(texture);
        fail("SDL_SetTextureBlendMode failed: ");
    }
    if (alpha && !SDL_SetTextureAlphaMod(texture, *alpha)) {
        SDL_DestroyTexture(texture);
        fail("SDL_SetTextureAlphaMod failed: ");
    }
    return texture;
}

struct AnimationDeleter {
    void operator()(IMG_Animation* animation) const { IMG_FreeAnimation(animation); }
};
struct StreamCloser {
    void operator()(SDL_IOStream* stream) const { SDL_CloseIO(stream); }
};

}  // namespace

ImageClock setImageClock(ImageClock clock) { return std::exchange(imageClock, clock ? clock : sdlTicks); }

SDL_Texture* createSolidColorTexture(SDL_Renderer* renderer, SDL_Color color) {
    if (!renderer) return nullptr;
    SDL_Surface* surface = SDL_CreateSurface(1, 1, SDL_PIXELFORMAT_ABGR8888);
    if (!surface) return nullptr;
    const Uint32 pixel =
        SDL_MapRGBA(SDL_GetPixelFormatDetails(surface->format), nullptr, color.r, color.g, color.b, color.a);
    SDL_Texture* texture = nullptr;
    if (SDL_FillSurfaceRect(surface, nullptr, pixel)) texture = SDL_CreateTextureFromSurface(renderer, surface);
    if (texture && !SDL_SetTextureBlendMode(texture, SDL_BLENDMODE_BLEND)) {
        SDL_DestroyTexture(texture);
        texture = nullptr;
    }
    SDL_DestroySurface(surface);
    return texture;
}

Image::Image(Display* display, int slideWidth, int slideHeight, int x, int y, int width, int height,
             const std::string& path, const std::string& fitMode, const std::string& opacity, SDL_Color background)
    : Image(Unloaded{}, display, slideWidth, slideHeight, x, y, width, height, fitMode, opacity, background) {
    try {
        loadFile(requireRenderer(), path);
    } catch (const std::exception& e) {
        std::cerr << "IMAGE Exception: " << ansi::BOLD_RED << e.what() << ansi::RESET << std::endl;
        release();
    }
}

Image::Image(Unloaded, Display* display, int slideWidth, int slideHeight, int x, int y, int width, int height,
             const std::string& fitMode, const std::string& opacity, SDL_Color background)
    : display_(display),
      slideWidth_(slideWidth),
      slideHeight_(slideHeight),
      x_(x),
      y_(y),
      width_(width),
      height_(height),
      fitMode_(lowerCase(fitMode)),
      opacity_(opacity),
      background_(background) {}

Image Image::fromXpm(Display* display, int slideWidth, int slideHeight, int x, int y, int width, int height,
                     const char* const* xpm, const std::string& fitMode) {
    Image image(Unloaded{}, display, slideWidth, slideHeight, x, y, width, height, fitMode, "1", {0, 0, 0, 255});
    try {
        image.loadXpm(image.requireRenderer(), xpm);
    } catch (const std::exception& e) {
        std::cerr << "XPM IMAGE Exception: " << ansi::BOLD_RED << e.what() << ansi::RESET << std::endl;
        image.release();
    }
    return image;
}

Image Image::fromPngBase64(Display* display, int slideWidth, int slideHeight, int x, int y, int width, int height,
                           const std::string& base64Png) {
    Image image(Unloaded{}, display, slideWidth, slideHeight, x, y, width, height, "fit", "1",
                {0, 0, 0, 255});
    try {
        image.loadPngBase64(image.requireRenderer(), base64Png);
    } catch (const std::exception& e) {
        std::cerr << "PNG Base64 IMAGE Exception: " << e.what() << std::endl;
        image.release();
    }
    return image;
}

Image Image::fromMemory(Display* display, int slideWidth, int slideHeight, int x, int y, int width, int height,
                        BuiltInPicture, const std::string& fitMode, const std::string& opacity,
                        SDL_Color background) {
    Image image(Unloaded{}, display, slideWidth, slideHeight, x, y, width, height, fitMode, opacity,
                background);
    try {
        image.loadBuiltIn(image.requireRenderer());
    } catch (const std::exception& e) {
        std::cerr << "IMAGE Exception: " << ansi::BOLD_RED << e.what() << ansi::RESET << std::endl;
        image.release();
    }
    return image;
}

Image::~Image() { release(); }

Image::Image(Image&& other) noexcept
    : display_(other.display_),
      slideWidth_(other.slideWidth_),
      slideHeight_(other.slideHeight_),
      x_(other.x_),
      y_(other.y_),
      width_(other.width_),
      height_(other.height_),
      pictureWidth_(other.pictureWidth_),
      pictureHeight_(other.pictureHeight_),
      fitMode_(std::move(other.fitMode_)),
      opacity_(std::move(other.opacity_)),
      background_(other.background_),
      texture_(std::exchange(other.texture_, nullptr)),
      backgroundTexture_(std::exchange(other.backgroundTexture_, nullptr)),
      frameTextures_(std::exchange(other.frameTextures_, {})),
      frameDelays_(std::exchange(other.frameDelays_, {})),
      currentFrame_(std::exchange(other.currentFrame_, 0)),
      nextFrameDue_(std::exchange(other.nextFrameDue_, 0)),
      animated_(std::exchange(other.animated_, false)) {}

Image& Image::operator=(Image&& other) noexcept {
    if (this != &other) {
        release();
        display_ = other.display_;
        slideWidth_ = other.slideWidth_;
        slideHeight_ = other.slideHeight_;
        x_ = other.x_;
        y_ = other.y_;
        width_ = other.width_;
        height_ = other.height_;
        pictureWidth_ = other.pictureWidth_;
        pictureHeight_ = other.pictureHeight_;
        fitMode_ = std::move(other.fitMode_);
        opacity_ = std::move(other.opacity_);
        background_ = other.background_;
        texture_ = std::exchange(other.texture_, nullptr);
        backgroundTexture_ = std::exchange(other.backgroundTexture_, nullptr);
        frameTextures_ = std::exchange(other.frameTextures_, {});
        frameDelays_ = std::exchange(other.frameDelays_, {});
        currentFrame_ = std::exchange(other.currentFrame_, 0);
        nextFrameDue_ = std::exchange(other.nextFrameDue_, 0);
        animated_ = std::exchange(other.animated_, false);
    }
    return *this;
}

SDL_Renderer* Image::requireRenderer() const {
    if (!display_) throw std::runtime_error("Display is null");
    SDL_Renderer* renderer = display_->renderer();
    if (!renderer) throw std::runtime_error("Renderer is null");
    return renderer;
}

void Image::loadFile(SDL_Renderer* renderer, const std::string& path) {
    // The opacity is checked before anything is decoded.
    const std::uint8_t alpha = parseImageOpacity(opacity_);
    const std::string extension = extensionOf(path);
    if (extension == ".gif" || extension == ".avif") {
        loadAnimation(renderer, path, alpha);
    } else {
        SurfaceHandle surface(takePreparedImage(path));
        if (!surface) surface.reset(IMG_Load(path.c_str()));
        if (!surface) fail("IMG_Load failed: ");
        pictureWidth_ = surface->w;
        pictureHeight_ = surface->h;
        texture_ = uploadBlended(renderer, surface.get(), &alpha);
    }
    makeBackgroundIfFit(renderer);
}

void Image::loadAnimation(SDL_Renderer* renderer, const std::string& path, std::uint8_t alpha) {
    std::unique_ptr<IMG_Animation, AnimationDeleter> animation(IMG_LoadAnimation(path.c_str()));
    if (!animation) fail("IMG_LoadAnimation failed: ");
    if (animation->count < 1 || !animation->frames) throw std::runtime_error("Animated image contains no frames");
    pictureWidth_ = animation->w;
    pictureHeight_ = animation->h;
    frameTextures_.reserve(static_cast<std::size_t>(animation->count));
    frameDelays_.reserve(static_cast<std::size_t>(animation->count));
    for (int i = 0; i < animation->count; ++i) {
        SDL_Surface* frame = animation->frames[i];
        if (!frame) throw std::runtime_error("Animated image contains an invalid frame");
        SurfaceHandle converted(SDL_ConvertSurface(frame, SDL_PIXELFORMAT_ABGR8888));
        if (!converted) fail("SDL_ConvertSurface failed: ");
        frameTextures_.push_back(uploadBlended(renderer, converted.get(), &alpha));
        const int delay = animation->delays ? animation->delays[i] : 0;
        frameDelays_.push_back(delay < 10 ? 100u : static_cast<std::uint32_t>(delay));
    }
    animated_ = !frameTextures_.empty();
    currentFrame_ = 0;
    nextFrameDue_ = 0;
}

void Image::loadXpm(SDL_Renderer* renderer, const char* const* xpm) {
    // SDL_image takes the lines as non-const, but only reads them.
    SurfaceHandle surface(IMG_ReadXPMFromArray(const_cast<char**>(xpm)));
    if (!surface) fail("IMG_ReadXPMFromArray failed: ");
    pictureWidth_ = surface->w;
    pictureHeight_ = surface->h;
    texture_ = uploadBlended(renderer, surface.get(), nullptr);
    makeBackgroundIfFit(renderer);
}

void Image::loadPngBase64(SDL_Renderer* renderer, const std::string& base64Png) {
    const std::vector<std::uint8_t> bytes = decodeBase64(base64Png);
    if (bytes.empty()) throw std::runtime_error("Base64 decode produced no data");
    std::unique_ptr<SDL_IOStream, StreamCloser> stream(SDL_IOFromConstMem(bytes.data(), bytes.size()));
    if (!stream) fail("SDL_IOFromConstMem failed: ");
    SurfaceHandle surface(IMG_LoadPNG_IO(stream.get()));
    if (!surface) fail("IMG_LoadPNG_IO failed: ");
    pictureWidth_ = surface->w;
    pictureHeight_ = surface->h;
    texture_ = uploadBlended(renderer, surface.get(), nullptr);
    if (background_.a != 0) {
        backgroundTexture_ = createSolidColorTexture(renderer, background_);
        if (!backgroundTexture_) fail("Unable to create image background texture: ");
    }
}

void Image::loadBuiltIn(SDL_Renderer* renderer) {
    std::unique_ptr<SDL_IOStream, StreamCloser> stream(SDL_IOFromConstMem(noSlidesPicture, noSlidesPictureSize));
    if (!stream) fail("SDL_IOFromConstMem failed: ");
    SurfaceHandle surface(IMG_Load_IO(stream.get(), false));
    if (!surface) fail("IMG_Load_IO failed: ");
    pictureWidth_ = surface->w;
    pictureHeight_ = surface->h;
    texture_ = uploadBlended(renderer, surface.get(), nullptr);
    const std::uint8_t alpha = parseImageOpacity(opacity_);
    if (!SDL_SetTextureAlphaMod(texture_, alpha)) fail("SDL_SetTextureAlphaMod failed: ");
    makeBackgroundIfFit(renderer);
}

void Image::makeBackgroundIfFit(SDL_Renderer* renderer) {
    if (fitMode_ != "fit" || background_.a == 0) return;
    backgroundTexture_ = createSolidColorTexture(renderer, background_);
    if (!backgroundTexture_) fail("Unable to create image background texture: ");
}

SDL_Texture* Image::currentTexture() {
    if (frameTextures_.empty()) return texture_;
    const std::uint32_t frame =
        advanceAnimation(frameDelays_, frameTextures_.size(), currentFrame_, nextFrameDue_, imageClock());
    return frameTextures_[frame];
}

void Image::draw(bool decorate) {
    try {
        SDL_Texture* texture = currentTexture();
        if (!texture || !display_) return;
        SDL_Renderer* renderer = display_->renderer();
        if (!renderer) return;

        int outputW = 0, outputH = 0;
        if (!SDL_GetCurrentRenderOutputSize(renderer, &outputW, &outputH))
            fail("SDL_GetCurrentRenderOutputSize failed: ");
        if (outputW <= 0 || outputH <= 0) return;
        const SlideMapping mapping = SlideMapping::forRenderer(renderer, slideWidth_, slideHeight_);
        const auto placed = placeImage({mapping.viewport(), mapping.rotation(), slideWidth_, slideHeight_,
                                        {x_, y_, width_, height_}, pictureWidth_, pictureHeight_, fitMode_});
        if (!placed) return;

        SDL_Rect destination = placed->destination;
        if (decorate) {
            if (fitMode_ == "fit" && backgroundTexture_) {
                const SDL_FRect box{static_cast<float>(placed->box.x), static_cast<float>(placed->box.y),
                                    static_cast<float>(placed->box.w), static_cast<float>(placed->box.h)};
                const SDL_FPoint boxCentre{box.w * 0.5f, box.h * 0.5f};
                if (!drawTexture(renderer, backgroundTexture_, nullptr, &box, placed->angle, &boxCentre,
                                 SDL_FLIP_NONE, display_->drawSubmitter()))
                    fail("SDL_RenderTextureRotated background failed: ");
            }
            // The shift follows the display's edges only when the picture is upright.
            if (normalizedRotation(mapping.rotation()) == 0) applyScreenShift(destination);
        }

        const SDL_FRect source{static_cast<float>(placed->source.x), static_cast<float>(placed->source.y),
                               static_cast<float>(placed->source.w), static_cast<float>(placed->source.h)};
        const SDL_FRect target{static_cast<float>(destination.x), static_cast<float>(destination.y),
                               static_cast<float>(destination.w), static_cast<float>(destination.h)};
        const SDL_FPoint centre{target.w * 0.5f, target.h * 0.5f};
        if (!drawTexture(renderer, texture, &source, &target, placed->angle, &centre, SDL_FLIP_NONE,
                         display_->drawSubmitter()))
            fail("SDL_RenderTextureRotated failed: ");
        if (!SDL_SetRenderDrawColor(renderer, 0, 0, 0, 255)) fail("SDL_SetRenderDrawColor failed: ");
    } catch (const std::exception& e) {
        std::cerr << ansi::BOLD_RED << "Image Draw Exception: " << e.what() << ansi::RESET << std::endl;
    }
}

void Image::release() {
    if (backgroundTexture_) SDL_DestroyTexture(backgroundTexture_);
    backgroundTexture_ = nullptr;
    for (auto frame = frameTextures_.rbegin(); frame != frameTextures_.rend(); ++frame) {
        if (*frame) SDL_DestroyTexture(*frame);
        *frame = nullptr;
    }
    frameTextures_.clear();
    if (texture_) SDL_DestroyTexture(texture_);
    texture_ = nullptr;
    frameDelays_.clear();
    currentFrame_ = 0;
    nextFrameDue_ = 0;
    animated_ = false;
}

}  // namespace lumetta
