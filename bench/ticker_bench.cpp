// One frame of the ticker band at 1920 wide: clear the window, blit the visible part of the
// strip, and (second benchmark) upload it into the streaming texture.

#include <benchmark/benchmark.h>

#include <SDL3/SDL.h>
#include <SDL3_ttf/SDL_ttf.h>

#include <string>

#include "objects/ticker_strip.h"

namespace {

constexpr int kBandWidth = 1920;
constexpr int kBandHeight = 108;

struct Band {
    SDL_Surface* strip = nullptr;
    SDL_Surface* window = nullptr;

    Band() {
        if (TTF_WasInit() == 0) TTF_Init();
        TTF_Font* font = TTF_OpenFont(LUMETTA_SOURCE_DIR "/assets/fonts/Lato-Bold.ttf", kBandHeight - kBandHeight / 5);
        if (font != nullptr) {
            TTF_SetFontStyle(font, TTF_STYLE_BOLD);
            TTF_SetFontKerning(font, false);
            std::string text = "Opening hours changed for the holidays";
            for (const char* item : {" Weather: sunny, 24 degrees ", " Road works on the main street ",
                                     " Welcome to our visitors ", " Next train in 4 minutes "}) {
                text += "\xE2\x80\xA2";
                text += item;
            }
            strip = lumetta::renderTickerStrip(font, text, {255, 255, 255, 255});
            TTF_CloseFont(font);
        }
        window = SDL_CreateSurface(kBandWidth, kBandHeight, SDL_PIXELFORMAT_ABGR8888);
    }
    ~Band() {
        SDL_DestroySurface(window);
        SDL_DestroySurface(strip);
    }

    void compose(int offset) {
        SDL_FillSurfaceRect(window, nullptr, SDL_MapSurfaceRGBA(window, 0, 0, 0, 128));
        SDL_SetSurfaceBlendMode(strip, SDL_BLENDMODE_BLEND);
        lumetta::composeTickerWindow(strip, window, offset, kBandHeight);
    }
};

void BM_TickerWindow1920(benchmark::State& state) {
    Band band;
    if (band.strip == nullptr || band.window == nullptr) {
        state.SkipWithError("no strip");
        return;
    }
    int offset = 0;
    for (auto _ : state) {
        band.compose(offset);
        offset += 3;
        benchmark::DoNotOptimize(band.window->pixels);
    }
    state.counters["stripWidth"] = band.strip->w;
    state.SetBytesProcessed(state.iterations() * kBandWidth * kBandHeight * 4);
}
BENCHMARK(BM_TickerWindow1920);

void BM_TickerWindowAndUpload1920(benchmark::State& state) {
    Band band;
    SDL_Surface* target = SDL_CreateSurface(kBandWidth, 1080, SDL_PIXELFORMAT_ABGR8888);
    SDL_Renderer* renderer = target ? SDL_CreateSoftwareRenderer(target) : nullptr;
    SDL_Texture* texture = renderer ? SDL_CreateTexture(renderer, SDL_PIXELFORMAT_ABGR8888,
                                                        SDL_TEXTUREACCESS_STREAMING, kBandWidth, kBandHeight)
                                    : nullptr;
    if (band.strip == nullptr || texture == nullptr) {
        state.SkipWithError("no strip or renderer");
    } else {
        int offset = 0;
        for (auto _ : state) {
            band.compose(offset);
            SDL_UpdateTexture(texture, nullptr, band.window->pixels, band.window->pitch);
            offset += 3;
        }
    }
    if (texture) SDL_DestroyTexture(texture);
    if (renderer) SDL_DestroyRenderer(renderer);
    if (target) SDL_DestroySurface(target);
}
BENCHMARK(BM_TickerWindowAndUpload1920);

}  // namespace
