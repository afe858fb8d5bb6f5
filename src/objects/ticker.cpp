#include "objects/ticker.h"

#include <algorithm>
#include <cmath>
#include <iostream>
#include <stdexcept>
#include <utility>

#include "core/log.h"
#include "core/palette.h"
#include "display/display.h"
#include "display/slide_mapping.h"
#include "objects/font_path.h"
#include "objects/ticker_strip.h"

namespace lumetta {

namespace {

[[noreturn]] void fail(const char* what) { throw std::runtime_error(std::string(what) + SDL_GetError()); }

void logError(std::string_view prefix, const std::exception& error) {
    logText(std::cerr, colored(ansi::BOLD_RED, std::string(prefix) + error.what()));
}

}  // namespace

Ticker::Ticker(Display* display, int screenWidth, int screenHeight, SDL_Rect box, std::string text,
               std::string fontFamily, std::uint8_t fontStyle, SDL_Color color, SDL_Color backgroundColor)
    : display_(display),
      box_(box),
      text_(std::move(text)),
      fontFamily_(std::move(fontFamily)),
      fontStyle_(fontStyle),
      color_(color),
      backgroundColor_(backgroundColor),
      screenWidth_(screenWidth),
      screenHeight_(screenHeight) {
    try {
        build();
    } catch (const std::exception& error) {
        logError("Ticker Exception: ", error);
    }
}

void Ticker::build() {
    if (display_ == nullptr) throw std::runtime_error("Display is null");
    SDL_Renderer* renderer = display_->renderer();
    if (renderer == nullptr) throw std::runtime_error("Renderer is null");
    if (screenWidth_ <= 0 || screenHeight_ <= 0) {
        throw std::runtime_error("Ticker logical screen dimensions must be greater than zero");
    }
    if (box_.x == 0 && box_.y == 0 && box_.w == 0 && box_.h == 0) box_ = {0, 0, screenWidth_, screenHeight_};
    if (box_.w <= 0) throw std::runtime_error("Ticker width must be greater than zero");
    if (box_.h <= 0) throw std::runtime_error("Ticker height must be greater than zero");

    removeSpaces(fontFamily_);
    const std::string path = fontPath(fontFamily_, fontStyle_);

    if (TTF_WasInit() == 0 && !TTF_Init()) fail("TTF_Init failed: ");
    const int fontSize = box_.h - box_.h / 5;
    SurfaceHandle strip;
    {
        FontHandle font(TTF_OpenFont(path.c_str(), static_cast<float>(fontSize)));
        if (!font) fail("TTF_OpenFont failed: ");
        TTF_FontStyleFlags style = TTF_STYLE_NORMAL;
        if (fontStyle_ & 1) style |= TTF_STYLE_BOLD;
        if (fontStyle_ & 2) style |= TTF_STYLE_ITALIC;
        if (fontStyle_ & 4) style |= TTF_STYLE_UNDERLINE;
        TTF_SetFontStyle(font.get(), style);
        TTF_SetFontKerning(font.get(), false);

        const std::string key = stripKey(path, fontSize, fontStyle_, color_, text_);
        strip.reset(copyTickerSurface(key));
        if (!strip) {
            strip.reset(renderTickerStrip(font.get(), text_, color_));
            storeTickerSurface(key, strip.get());
        }
    }

    SurfaceHandle window(SDL_CreateSurface(box_.w, box_.h, SDL_PIXELFORMAT_ABGR8888));
    if (!window) fail("SDL_CreateSurface failed: ");
    TextureHandle texture(
        SDL_CreateTexture(renderer, SDL_PIXELFORMAT_ABGR8888, SDL_TEXTUREACCESS_STREAMING, box_.w, box_.h));
    if (!texture) fail("SDL_CreateTexture failed: ");
    if (!SDL_SetTextureBlendMode(texture.get(), SDL_BLENDMODE_BLEND)) fail("SDL_SetTextureBlendMode failed: ");
    strip_ = std::move(strip);
    window_ = std::move(window);
    texture_ = std::move(texture);
}

int Ticker::stripWidth() const { return strip_ ? strip_->w : 0; }

bool Ticker::isReady() const { return strip_ != nullptr && window_ != nullptr && texture_ != nullptr; }

bool Ticker::draw(int offset, SDL_FlipMode flip) {
    if (display_ == nullptr || !isReady() || screenWidth_ <= 0 || screenHeight_ <= 0 || box_.w <= 0 || box_.h <= 0) {
        return false;
    }
    SDL_Renderer* renderer = display_->renderer();
    if (renderer == nullptr) return false;
    try {
        render(offset, flip, renderer);
        return true;
    } catch (const std::exception& error) {
        logError("Ticker Draw Exception: ", error);
        return false;
    }
}

void Ticker::render(int offset, SDL_FlipMode flip, SDL_Renderer* renderer) {
    const SDL_Color bg = backgroundColor_;
    SDL_Surface* window = window_.get();
    const Uint32 background = bg.a == 0 ? SDL_MapSurfaceRGBA(window, 0, 0, 0, 0)
                                        : SDL_MapSurfaceRGBA(window, bg.r, bg.g, bg.b, bg.a);
    if (!SDL_FillSurfaceRect(window, nullptr, background)) fail("SDL_FillSurfaceRect failed: ");
    if (!SDL_SetSurfaceBlendMode(strip_.get(), SDL_BLENDMODE_BLEND)) fail("SDL_SetSurfaceBlendMode failed: ");
    composeTickerWindow(strip_.get(), window, offset, box_.h);
    if (!SDL_UpdateTexture(texture_.get(), nullptr, window->pixels, window->pitch)) fail("SDL_UpdateTexture failed: ");

    const SlideMapping mapping = SlideMapping::forRenderer(renderer, screenWidth_, screenHeight_);
    if (mapping.viewport().w <= 0 || mapping.viewport().h <= 0) throw std::runtime_error("Invalid renderer viewport");
    if (!mapping.usable()) throw std::runtime_error("Invalid ticker destination");
    const SDL_Rect placed = roundedRect(mapping.box(box_.x, box_.y, box_.w, box_.h));
    const SDL_FRect destination{static_cast<float>(placed.x), static_cast<float>(placed.y),
                                static_cast<float>(placed.w), static_cast<float>(placed.h)};
    const SDL_FPoint centre{0.5f * destination.w, 0.5f * destination.h};
    if (!display_->drawSubmitter().renderTextureRotated(renderer, texture_.get(), nullptr, &destination, mapping.angle(),
                                                        &centre, flip)) {
        fail("SDL_RenderTextureRotated failed: ");
    }
}

}  // namespace lumetta
