#pragma once
// Small pieces the player tests share: a headless display, pixel read-back, PNG files and slide
// models built in code.

#include <SDL3/SDL.h>
#include <SDL3_image/SDL_image.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <memory>
#include <optional>
#include <ostream>
#include <string>
#include <utility>

#include "content/slide_model.h"
#include "display/display.h"
#include "display/sdl_handles.h"

namespace lumetta::testing {

struct Colour {
    int r = 0, g = 0, b = 0;
    bool operator==(const Colour&) const = default;
};

inline std::ostream& operator<<(std::ostream& out, const Colour& c) {
    return out << "(" << c.r << ", " << c.g << ", " << c.b << ")";
}

inline constexpr Colour kRed{255, 0, 0};
inline constexpr Colour kGreen{0, 255, 0};
inline constexpr Colour kBlue{0, 0, 255};
inline constexpr Colour kYellow{255, 255, 0};
inline constexpr Colour kWhite{255, 255, 255};
inline constexpr Colour kBlack{0, 0, 0};

inline SDL_Color sdl(Colour c, int alpha = 255) {
    return SDL_Color{static_cast<Uint8>(c.r), static_cast<Uint8>(c.g), static_cast<Uint8>(c.b),
                     static_cast<Uint8>(alpha)};
}

inline bool near(Colour a, Colour b, int tolerance = 24) {
    return std::abs(a.r - b.r) <= tolerance && std::abs(a.g - b.g) <= tolerance && std::abs(a.b - b.b) <= tolerance;
}

// The pixel at (x, y) of the renderer's current target.
inline Colour pixelAt(SDL_Renderer* renderer, int x, int y) {
    const SDL_Rect area{x, y, 1, 1};
    SurfaceHandle surface(SDL_RenderReadPixels(renderer, &area));
    if (!surface) {
        ADD_FAILURE() << "read-back failed: " << SDL_GetError();
        return {};
    }
    Uint8 r = 0, g = 0, b = 0, a = 0;
    SDL_ReadSurfacePixel(surface.get(), 0, 0, &r, &g, &b, &a);
    return {r, g, b};
}

// A headless display of the given size (the offscreen driver and the software renderer of the
// test run).
inline std::unique_ptr<Display> makeDisplay(int width = 320, int height = 180,
                                            DrawSubmitter& submitter = sdlDrawSubmitter()) {
    return std::make_unique<Display>("", "player test", -1, -1, width, height, false, std::nullopt, nullptr,
                                     submitter);
}

// A PNG of one colour.
inline void writePng(const std::filesystem::path& path, int width, int height, Colour colour) {
    std::filesystem::create_directories(path.parent_path());
    SurfaceHandle surface(SDL_CreateSurface(width, height, SDL_PIXELFORMAT_RGBA32));
    ASSERT_TRUE(surface) << SDL_GetError();
    SDL_FillSurfaceRect(surface.get(), nullptr,
                        SDL_MapSurfaceRGBA(surface.get(), static_cast<Uint8>(colour.r), static_cast<Uint8>(colour.g),
                                           static_cast<Uint8>(colour.b), 255));
    ASSERT_TRUE(IMG_SavePNG(surface.get(), path.c_str())) << SDL_GetError();
}

// Layers of the slide model, placed in slide units.
template <typename Content>
SlideLayer layerOf(Content content, int x, int y, int w, int h, std::string id = {}) {
    SlideLayer layer;
    layer.id = std::move(id);
    layer.x = x;
    layer.y = y;
    layer.width = w;
    layer.height = h;
    layer.content = std::move(content);
    return layer;
}

inline SlideLayer rectangleLayer(int x, int y, int w, int h, Colour colour) {
    RectangleLayer rectangle;
    rectangle.color = sdl(colour);
    return layerOf(rectangle, x, y, w, h);
}

inline SlideLayer ellipseLayer(int x, int y, int w, int h, Colour colour) {
    EllipseLayer ellipse;
    ellipse.color = sdl(colour);
    return layerOf(ellipse, x, y, w, h);
}

inline SlideLayer triangleLayer(int x, int y, int w, int h, Colour colour) {
    TriangleLayer triangle;
    triangle.color = sdl(colour);
    triangle.borderColor = sdl(colour);
    return layerOf(triangle, x, y, w, h);
}

inline SlideLayer starLayer(int x, int y, int w, int h, Colour colour) {
    StarLayer star;
    star.color = sdl(colour);
    return layerOf(star, x, y, w, h);
}

inline SlideLayer textLayer(int x, int y, int w, int h, std::string text, Colour colour, Colour background,
                            int backgroundAlpha = 255) {
    TextLayer layer;
    layer.content = std::move(text);
    layer.fontFamily = "DejaVu Sans";
    layer.fontSize = 40;
    layer.color = sdl(colour);
    layer.backgroundColor = sdl(background, backgroundAlpha);
    return layerOf(layer, x, y, w, h);
}

inline SlideLayer imageLayer(int x, int y, int w, int h, std::string file) {
    ImageLayer image;
    image.file = std::move(file);
    image.fit = ImageFit::Stretch;
    return layerOf(image, x, y, w, h);
}

inline SlideLayer videoLayer(int x, int y, int w, int h, std::string file) {
    VideoLayer video;
    video.file = std::move(file);
    video.fit = ImageFit::Fit;
    return layerOf(video, x, y, w, h);
}

inline Slide slideOf(std::vector<SlideLayer> layers, std::string id = "s1", int width = 320, int height = 180) {
    Slide slide;
    slide.id = std::move(id);
    slide.width = width;
    slide.height = height;
    slide.layers = std::move(layers);
    return slide;
}

}  // namespace lumetta::testing
