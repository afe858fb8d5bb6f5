#include "objects/image.h"

#include <SDL3_image/SDL_image.h>

#include <algorithm>
#include <cctype>
#include <iostream>
#include <stdexcept>
#include <utility>

#include "core/file_utils.h"
#include "core/log.h"
#include "core/palette.h"
#include "display/display.h"
#include "display/draw.h"
#include "display/slide_mapping.h"
#include "display/screen_shift.h"
#include "objects/image_layout.h"
#include "objects/no_slides_picture.h"
#include "objects/picture_orientation.h"
#include "objects/prepared_image_cache.h"

namespace lumetta {

namespace {

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
TextureHandle uploadBlended(SDL_Renderer* renderer, SDL_Surface* surface, const std::uint8_t* alpha) {
    if (!SDL_SetSurfaceBlendMode(surface, SDL_BLENDMODE_BLEND)) fail("SDL_SetSurfaceBlendMode failed: ");
    TextureHandle texture(SDL_CreateTextureFromSurface(renderer, surface));
    if (!texture) fail("SDL_CreateTextureFromSurface failed: ");
    if (!SDL_SetTextureBlendMode(texture.get(), SDL_BLENDMODE_BLEND)) fail("SDL_SetTextureBlendMode failed: ");
    if (alpha && !SDL_SetTextureAlphaMod(texture.get(), *alpha)) fail("SDL_SetTextureAlphaMod failed: ");
    return texture;
}

}  // namespace

TextureHandle createSolidColorTexture(SDL_Renderer* renderer, SDL_Color color) {
    if (!renderer) return nullptr;
    SurfaceHandle surface(SDL_CreateSurface(1, 1, SDL_PIXELFORMAT_ABGR8888));
    if (!surface) return nullptr;
    const Uint32 pixel =
        SDL_MapRGBA(SDL_GetPixelFormatDetails(surface->format), nullptr, color.r, color.g, color.b, color.a);
    TextureHandle texture;
    if (SDL_FillSurfaceRect(surface.get(), nullptr, pixel)) {
        texture.reset(SDL_CreateTextureFromSurface(renderer, surface.get()));
    }
    if (texture && !SDL_SetTextureBlendMode(texture.get(), SDL_BLENDMODE_BLEND)) texture.reset();
    return texture;
}

Image::Image(Display* display, int slideWidth, int slideHeight, int x, int y, int width, int height,
             const std::string& path, ImageFit fit, ElementOpacity opacity, SDL_Color background, const Clock& clock)
    : Image(Unloaded{}, display, slideWidth, slideHeight, x, y, width, height, fit, std::move(opacity), background) {
    clock_ = &clock;
    load("IMAGE Exception: ", true, [&](SDL_Renderer* renderer) { return loadFile(renderer, path); });
}

Image::Image(Display* display, int slideWidth, int slideHeight, int x, int y, int width, int height,
             const std::string& path, const std::string& fitMode, ElementOpacity opacity, SDL_Color background,
             const Clock& clock)
    : Image(display, slideWidth, slideHeight, x, y, width, height, path, imageFitOf(fitMode), std::move(opacity),
            background, clock) {}

Image::Image(Unloaded, Display* display, int slideWidth, int slideHeight, int x, int y, int width, int height,
             ImageFit fit, ElementOpacity opacity, SDL_Color background)
    : display_(display),
      slideWidth_(slideWidth),
      slideHeight_(slideHeight),
      x_(x),
      y_(y),
      width_(width),
      height_(height),
      fit_(fit),
      opacity_(std::move(opacity)),
      background_(background) {}

Image Image::fromXpm(Display* display, int slideWidth, int slideHeight, int x, int y, int width, int height,
                     const char* const* xpm, const std::string& fitMode) {
    Image image(Unloaded{}, display, slideWidth, slideHeight, x, y, width, height, imageFitOf(fitMode), "1",
                {0, 0, 0, 255});
    image.load("XPM IMAGE Exception: ", true, [&](SDL_Renderer* renderer) { return image.loadXpm(renderer, xpm); });
    return image;
}

Image Image::fromPngBase64(Display* display, int slideWidth, int slideHeight, int x, int y, int width, int height,
                           const std::string& base64Png) {
    Image image(Unloaded{}, display, slideWidth, slideHeight, x, y, width, height, ImageFit::Fit, "1",
                {0, 0, 0, 255});
    image.load("PNG Base64 IMAGE Exception: ", false,
               [&](SDL_Renderer* renderer) { return image.loadPngBase64(renderer, base64Png); });
    return image;
}

Image Image::fromMemory(Display* display, int slideWidth, int slideHeight, int x, int y, int width, int height,
                        BuiltInPicture, const std::string& fitMode, ElementOpacity opacity,
                        SDL_Color background) {
    Image image(Unloaded{}, display, slideWidth, slideHeight, x, y, width, height, imageFitOf(fitMode),
                std::move(opacity), background);
    image.load("IMAGE Exception: ", true, [&](SDL_Renderer* renderer) { return image.loadBuiltIn(renderer); });
    return image;
}

template <typename Load>
void Image::load(const char* prefix, bool colored, Load&& loader) {
    try {
        picture_ = loader(requireRenderer());
        currentFrame_ = 0;
        nextFrameDue_ = 0;
    } catch (const std::exception& e) {
        logText(std::cerr, prefix + (colored ? lumetta::colored(ansi::BOLD_RED, e.what()) : std::string(e.what())));
    }
}

SDL_Renderer* Image::requireRenderer() const {
    if (!display_) throw std::runtime_error("Display is null");
    SDL_Renderer* renderer = display_->renderer();
    if (!renderer) throw std::runtime_error("Renderer is null");
    return renderer;
}

Image::Picture Image::loadFile(SDL_Renderer* renderer, const std::string& path) const {
    // The opacity is checked before anything is decoded.
    const std::uint8_t alpha = imageOpacityAlpha(opacity_);
    const std::string extension = extensionOf(path);
    Picture picture;
    if (extension == ".gif" || extension == ".avif") {
        picture = loadAnimation(renderer, path, alpha);
    } else {
        SurfaceHandle surface(takePreparedImage(path));
        // A prepared picture is already upright.
        if (!surface) surface = uprightSurface(SurfaceHandle(IMG_Load(path.c_str())), exifOrientationOfFile(path));
        if (!surface) fail("IMG_Load failed: ");
        picture.width = surface->w;
        picture.height = surface->h;
        picture.still = uploadBlended(renderer, surface.get(), &alpha);
    }
    addBackgroundIfFit(renderer, picture);
    return picture;
}

Image::Picture Image::loadAnimation(SDL_Renderer* renderer, const std::string& path, std::uint8_t alpha) const {
    AnimationHandle animation(IMG_LoadAnimation(path.c_str()));
    if (!animation) fail("IMG_LoadAnimation failed: ");
    if (animation->count < 1 || !animation->frames) throw std::runtime_error("Animated image contains no frames");
    Picture picture;
    picture.width = animation->w;
    picture.height = animation->h;
    picture.frames.reserve(static_cast<std::size_t>(animation->count));
    picture.delays.reserve(static_cast<std::size_t>(animation->count));
    for (int i = 0; i < animation->count; ++i) {
        SDL_Surface* frame = animation->frames[i];
        if (!frame) throw std::runtime_error("Animated image contains an invalid frame");
        SurfaceHandle converted(SDL_ConvertSurface(frame, SDL_PIXELFORMAT_ABGR8888));
        if (!converted) fail("SDL_ConvertSurface failed: ");
        picture.frames.push_back(uploadBlended(renderer, converted.get(), &alpha));
        const int delay = animation->delays ? animation->delays[i] : 0;
        picture.delays.push_back(delay < 10 ? 100u : static_cast<std::uint32_t>(delay));
    }
    return picture;
}

Image::Picture Image::loadXpm(SDL_Renderer* renderer, const char* const* xpm) const {
    // SDL_image takes the lines as non-const, but only reads them.
    SurfaceHandle surface(IMG_ReadXPMFromArray(const_cast<char**>(xpm)));
    if (!surface) fail("IMG_ReadXPMFromArray failed: ");
    Picture picture;
    picture.width = surface->w;
    picture.height = surface->h;
    picture.still = uploadBlended(renderer, surface.get(), nullptr);
    addBackgroundIfFit(renderer, picture);
    return picture;
}

Image::Picture Image::loadPngBase64(SDL_Renderer* renderer, const std::string& base64Png) const {
    const std::vector<std::uint8_t> bytes = decodeBase64(base64Png);
    if (bytes.empty()) throw std::runtime_error("Base64 decode produced no data");
    StreamHandle stream(SDL_IOFromConstMem(bytes.data(), bytes.size()));
    if (!stream) fail("SDL_IOFromConstMem failed: ");
    SurfaceHandle surface(IMG_LoadPNG_IO(stream.get()));
    if (!surface) fail("IMG_LoadPNG_IO failed: ");
    Picture picture;
    picture.width = surface->w;
    picture.height = surface->h;
    picture.still = uploadBlended(renderer, surface.get(), nullptr);
    if (background_.a != 0) {
        picture.background = createSolidColorTexture(renderer, background_);
        if (!picture.background) fail("Unable to create image background texture: ");
    }
    return picture;
}

Image::Picture Image::loadBuiltIn(SDL_Renderer* renderer) const {
    StreamHandle stream(SDL_IOFromConstMem(noSlidesPicture, noSlidesPictureSize));
    if (!stream) fail("SDL_IOFromConstMem failed: ");
    SurfaceHandle surface(IMG_Load_IO(stream.get(), false));
    if (!surface) fail("IMG_Load_IO failed: ");
    Picture picture;
    picture.width = surface->w;
    picture.height = surface->h;
    picture.still = uploadBlended(renderer, surface.get(), nullptr);
    const std::uint8_t alpha = imageOpacityAlpha(opacity_);
    if (!SDL_SetTextureAlphaMod(picture.still.get(), alpha)) fail("SDL_SetTextureAlphaMod failed: ");
    addBackgroundIfFit(renderer, picture);
    return picture;
}

void Image::addBackgroundIfFit(SDL_Renderer* renderer, Picture& picture) const {
    if (fit_ != ImageFit::Fit || background_.a == 0) return;
    picture.background = createSolidColorTexture(renderer, background_);
    if (!picture.background) fail("Unable to create image background texture: ");
}

SDL_Texture* Image::currentTexture() {
    if (picture_.frames.empty()) return picture_.still.get();
    const std::uint32_t frame = advanceAnimation(picture_.delays, picture_.frames.size(), currentFrame_,
                                                 nextFrameDue_, clock_->ticksMs());
    return picture_.frames[frame].get();
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
                                        {x_, y_, width_, height_}, picture_.width, picture_.height, fit_});
        if (!placed) return;

        SDL_Rect destination = placed->destination;
        if (decorate) {
            if (fit_ == ImageFit::Fit && picture_.background) {
                const SDL_FRect box{static_cast<float>(placed->box.x), static_cast<float>(placed->box.y),
                                    static_cast<float>(placed->box.w), static_cast<float>(placed->box.h)};
                const SDL_FPoint boxCentre{box.w * 0.5f, box.h * 0.5f};
                if (!drawTexture(renderer, picture_.background.get(), nullptr, &box, placed->angle, &boxCentre,
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
        logText(std::cerr, colored(ansi::BOLD_RED, std::string("Image Draw Exception: ") + e.what()));
    }
}

}  // namespace lumetta
