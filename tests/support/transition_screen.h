#pragma once
// The player's display at one size with two slide pictures: O (outgoing) and I (incoming),
// ARGB8888 render targets, each split into a left and a right colour so that motion shows.
// Frames are read back from the display whole.

#include <SDL3/SDL.h>
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <ostream>
#include <vector>

#include "display/display.h"
#include "objects/sdl_handles.h"
#include "display/draw.h"

namespace lumetta::testing {

struct Rgb {
    int r = 0, g = 0, b = 0;
    bool operator==(const Rgb&) const = default;
};

inline std::ostream& operator<<(std::ostream& out, const Rgb& c) {
    return out << "(" << c.r << ", " << c.g << ", " << c.b << ")";
}

inline constexpr Rgb kOutLeft{200, 40, 40};
inline constexpr Rgb kOutRight{40, 200, 40};
inline constexpr Rgb kInLeft{40, 40, 200};
inline constexpr Rgb kInRight{220, 200, 40};
inline constexpr Rgb kBlack{0, 0, 0};
inline constexpr Rgb kWhite{255, 255, 255};

// `over` drawn with alpha/255 onto `under`.
inline Rgb blend(Rgb under, Rgb over, int alpha) {
    const auto mix = [alpha](int u, int o) { return (o * alpha + u * (255 - alpha) + 127) / 255; };
    return {mix(under.r, over.r), mix(under.g, over.g), mix(under.b, over.b)};
}

inline Rgb shaded(Rgb c, int shade) { return {c.r * shade / 255, c.g * shade / 255, c.b * shade / 255}; }

inline bool near(Rgb a, Rgb b, int tolerance) {
    return std::abs(a.r - b.r) <= tolerance && std::abs(a.g - b.g) <= tolerance && std::abs(a.b - b.b) <= tolerance;
}

struct Frame {
    int width = 0;
    int height = 0;
    std::vector<std::uint32_t> pixels;  // 0xRRGGBB

    Rgb at(int x, int y) const {
        const std::uint32_t v = pixels[static_cast<std::size_t>(y) * static_cast<std::size_t>(width) +
                                       static_cast<std::size_t>(x)];
        return {static_cast<int>((v >> 16) & 0xFF), static_cast<int>((v >> 8) & 0xFF), static_cast<int>(v & 0xFF)};
    }
    bool operator==(const Frame&) const = default;
};

// Frame of the given size where every pixel is `left` in the left half and `right` in the right.
inline Frame splitFrame(int width, int height, Rgb left, Rgb right) {
    Frame f{width, height, std::vector<std::uint32_t>(static_cast<std::size_t>(width) * height)};
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            const Rgb c = x < width / 2 ? left : right;
            f.pixels[static_cast<std::size_t>(y) * width + x] =
                static_cast<std::uint32_t>(c.r << 16 | c.g << 8 | c.b);
        }
    }
    return f;
}

// The first pixel where two frames differ, for failure messages.
inline std::string firstDifference(const Frame& a, const Frame& b) {
    if (a.width != b.width || a.height != b.height) return "sizes differ";
    for (int y = 0; y < a.height; ++y) {
        for (int x = 0; x < a.width; ++x) {
            if (!(a.at(x, y) == b.at(x, y))) {
                std::ostringstream out;
                out << "at (" << x << ", " << y << "): " << a.at(x, y) << " vs " << b.at(x, y);
                return out.str();
            }
        }
    }
    return "none";
}

class TransitionScreen {
public:
    TransitionScreen(int width, int height)
        : display_(std::make_unique<Display>("", "transition test", -1, -1, width, height, false, std::nullopt)),
          width_(width), height_(height) {
        outgoing_ = makeSplit(kOutLeft, kOutRight);
        incoming_ = makeSplit(kInLeft, kInRight);
    }

    SDL_Renderer* renderer() const { return display_->renderer(); }
    SDL_Texture* outgoing() const { return outgoing_.get(); }
    SDL_Texture* incoming() const { return incoming_.get(); }
    int width() const { return width_; }
    int height() const { return height_; }

    // A picture of the screen's size split into two colours.
    TextureHandle makeSplit(Rgb left, Rgb right) const {
        TextureHandle texture(
            SDL_CreateTexture(renderer(), SDL_PIXELFORMAT_ARGB8888, SDL_TEXTUREACCESS_TARGET, width_, height_));
        EXPECT_NE(texture, nullptr) << SDL_GetError();
        SDL_SetRenderTarget(renderer(), texture.get());
        fill({0, 0, static_cast<float>(width_ / 2), static_cast<float>(height_)}, left);
        fill({static_cast<float>(width_ / 2), 0, static_cast<float>(width_ - width_ / 2), static_cast<float>(height_)},
             right);
        SDL_SetRenderTarget(renderer(), nullptr);
        return texture;
    }

    // What the player loop does before every frame.
    void clear(Rgb colour = kBlack) const {
        SDL_SetRenderDrawColor(renderer(), static_cast<Uint8>(colour.r), static_cast<Uint8>(colour.g),
                               static_cast<Uint8>(colour.b), 255);
        SDL_RenderClear(renderer());
    }

    Frame capture() const {
        SurfaceHandle read(SDL_RenderReadPixels(renderer(), nullptr));
        EXPECT_NE(read, nullptr) << SDL_GetError();
        if (!read) return {};
        SurfaceHandle argb(SDL_ConvertSurface(read.get(), SDL_PIXELFORMAT_XRGB8888));
        Frame f{argb->w, argb->h, std::vector<std::uint32_t>(static_cast<std::size_t>(argb->w) * argb->h)};
        for (int y = 0; y < argb->h; ++y) {
            const auto* row = reinterpret_cast<const std::uint32_t*>(static_cast<const Uint8*>(argb->pixels) +
                                                                     static_cast<std::ptrdiff_t>(y) * argb->pitch);
            for (int x = 0; x < argb->w; ++x) {
                f.pixels[static_cast<std::size_t>(y) * argb->w + x] = row[x] & 0xFFFFFFu;
            }
        }
        return f;
    }

    Frame outgoingPicture() const { return splitFrame(width_, height_, kOutLeft, kOutRight); }
    Frame incomingPicture() const { return splitFrame(width_, height_, kInLeft, kInRight); }

private:
    void fill(const SDL_FRect& area, Rgb c) const {
        SDL_SetRenderDrawColor(renderer(), static_cast<Uint8>(c.r), static_cast<Uint8>(c.g), static_cast<Uint8>(c.b),
                               255);
        SDL_RenderFillRect(renderer(), &area);
    }

    std::unique_ptr<Display> display_;
    int width_;
    int height_;
    TextureHandle outgoing_;
    TextureHandle incoming_;
};

// Records every draw (texture, source, destination, turn, flip, vertices) and passes it on to SDL.
class RecordingCalls : public DrawSubmitter {
public:
    struct Call {
        enum Kind { copy, geometry } kind = copy;
        SDL_Texture* tex = nullptr;
        std::optional<SDL_FRect> source;
        std::optional<SDL_FRect> destination;
        SDL_FlipMode flip = SDL_FLIP_NONE;
        double angle = 0.0;
        std::vector<SDL_Vertex> vertices;
        std::vector<int> indices;
    };

    bool renderTextureRotated(SDL_Renderer* renderer, SDL_Texture* texture, const SDL_FRect* source,
                              const SDL_FRect* destination, double angle, const SDL_FPoint* center,
                              SDL_FlipMode flip) override {
        Call call;
        call.kind = Call::copy;
        call.tex = texture;
        call.source = opt(source);
        call.destination = opt(destination);
        call.flip = flip;
        call.angle = angle;
        calls.push_back(call);
        return sdlDrawSubmitter().renderTextureRotated(renderer, texture, source, destination, angle, center, flip);
    }
    bool renderGeometry(SDL_Renderer* renderer, SDL_Texture* texture, const SDL_Vertex* vertices, int vertexCount,
                        const int* indices, int indexCount) override {
        Call call;
        call.kind = Call::geometry;
        call.tex = texture;
        call.vertices.assign(vertices, vertices + vertexCount);
        call.indices.assign(indices, indices + indexCount);
        calls.push_back(call);
        return sdlDrawSubmitter().renderGeometry(renderer, texture, vertices, vertexCount, indices, indexCount);
    }

    std::vector<Call> calls;

private:
    static std::optional<SDL_FRect> opt(const SDL_FRect* r) {
        return r != nullptr ? std::optional<SDL_FRect>(*r) : std::nullopt;
    }
};

}  // namespace lumetta::testing
