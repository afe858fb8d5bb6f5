#include "screens/download_screen.h"

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <system_error>

#include "display/slide_mapping.h"
#include "screens/overlay_box.h"

namespace lumetta::screens {

namespace {

constexpr const char* prefixText = "Downloading: ";
constexpr int outlineWidth = 4;
constexpr int top = 8;

std::string bannerFontPath(const std::string& directory) {
    std::error_code error;
    const std::string bold = directory + "/Lato-Bold.ttf";
    return std::filesystem::exists(bold, error) ? bold : directory + "/Lato.ttf";
}

void dropPictures(DownloadScreenState& state) {
    state.outlineTexture.reset();
    state.prefixTexture.reset();
    state.nameTexture.reset();
    state.outlineSize = state.prefixSize = state.nameSize = SDL_Point{0, 0};
}

// Makes the three pictures for the state's name and size. A name that cannot be drawn leaves
// none (and is not tried again until the name or size changes); a font that does not open
// leaves the name unbuilt, so the next frame tries again.
void buildPictures(DownloadScreenState& state, SDL_Renderer* renderer, std::string_view name, int fontSize) {
    dropPictures(state);
    state.cachedName.assign(name);
    state.cachedFontSize = fontSize;
    if (!fontEngineReady()) return;
    const std::string path = bannerFontPath(state.fontsDirectory);
    FontHandle font(TTF_OpenFont(path.c_str(), static_cast<float>(fontSize)));
    if (!font) {
        state.cachedName.clear();
        state.cachedFontSize = 0;
        return;
    }
    const std::string line = prefixText + state.cachedName;
    // A name wider than any texture is left out before the engine tries to draw it.
    if (!textFitsWidth(font.get(), line, maxTextureSide(renderer) - 2 * outlineWidth)) return;
    TTF_SetFontOutline(font.get(), outlineWidth);
    SurfaceHandle outline(TTF_RenderText_Blended(font.get(), line.data(), line.size(), SDL_Color{0, 0, 0, 255}));
    TTF_SetFontOutline(font.get(), 0);
    if (!outline) return;
    SurfaceHandle prefix(TTF_RenderText_Blended(font.get(), prefixText, 0, SDL_Color{255, 255, 255, 255}));
    if (!prefix) return;
    SurfaceHandle named(
        TTF_RenderText_Blended(font.get(), state.cachedName.data(), state.cachedName.size(), SDL_Color{255, 128, 0, 255}));
    if (!named) return;
    state.outlineTexture.reset(SDL_CreateTextureFromSurface(renderer, outline.get()));
    state.prefixTexture.reset(SDL_CreateTextureFromSurface(renderer, prefix.get()));
    state.nameTexture.reset(SDL_CreateTextureFromSurface(renderer, named.get()));
    if (!state.outlineTexture || !state.prefixTexture || !state.nameTexture) {
        dropPictures(state);
        return;
    }
    state.outlineSize = SDL_Point{outline->w, outline->h};
    state.prefixSize = SDL_Point{prefix->w, prefix->h};
    state.nameSize = SDL_Point{named->w, named->h};
}

int scaled(int size, double scale) { return std::max(1, static_cast<int>(size * scale)); }

}  // namespace

int downloadBannerFontSize(int layoutHeight) { return layoutHeight < 896 ? 64 : std::min(96, layoutHeight / 7); }

void drawDownloadScreen(DownloadScreenState& state, SDL_Renderer* renderer, std::string_view name, int rotation,
                        DrawSubmitter& submitter) {
    if (renderer == nullptr) return;
    if (name.empty() && state.reveal.phaseA() <= 0) return;
    int outputWidth = 0, outputHeight = 0;
    if (!SDL_GetCurrentRenderOutputSize(renderer, &outputWidth, &outputHeight)) return;

    const int turn = normalizedRotation(rotation);
    const bool quarter = turn == 90 || turn == 270;
    const int layoutWidth = quarter ? outputHeight : outputWidth;
    const int layoutHeight = quarter ? outputWidth : outputHeight;

    if (!name.empty()) {
        const int fontSize = downloadBannerFontSize(layoutHeight);
        if (name != state.cachedName || fontSize != state.cachedFontSize) {
            buildPictures(state, renderer, name, fontSize);
        }
    }
    if (!state.outlineTexture || !state.prefixTexture || !state.nameTexture || state.outlineSize.x <= 0 ||
        state.outlineSize.y <= 0) {
        return;
    }

    // The whole banner shrinks to leave 20 pixels each side; the name is never cut.
    const double fit = static_cast<double>(layoutWidth - 40) / state.outlineSize.x;
    const double scale = fit < 1 ? fit : 1;
    const double b = std::clamp(state.reveal.phaseB(), 0.0, 1.0);
    const auto alpha = static_cast<Uint8>(std::lround(255 * b * b * (3 - 2 * b)));
    SDL_Texture* pictures[] = {state.outlineTexture.get(), state.prefixTexture.get(), state.nameTexture.get()};
    for (SDL_Texture* picture : pictures) SDL_SetTextureAlphaMod(picture, alpha);

    const int w = scaled(state.outlineSize.x, scale);
    const int h = scaled(state.outlineSize.y, scale);
    const int x = (layoutWidth - w) / 2;
    const int inset = std::max(1, static_cast<int>(outlineWidth * scale));
    const SDL_Rect outlineRect{x, top, w, h};
    const SDL_Rect prefixRect{x + inset, top + inset, scaled(state.prefixSize.x, scale),
                              scaled(state.prefixSize.y, scale)};
    const SDL_Rect nameRect{prefixRect.x + prefixRect.w, top + inset, scaled(state.nameSize.x, scale),
                            scaled(state.nameSize.y, scale)};
    const SDL_Rect* places[] = {&outlineRect, &prefixRect, &nameRect};
    for (int i = 0; i < 3; ++i) {
        const SDL_Rect& r = *places[i];
        drawRotatedTexture(turn, outputHeight, outputWidth, renderer, pictures[i], static_cast<float>(r.x),
                           static_cast<float>(r.y), static_cast<float>(r.w), static_cast<float>(r.h), submitter);
    }
    for (SDL_Texture* picture : pictures) SDL_SetTextureAlphaMod(picture, 255);
}

bool DownloadBanner::update(std::string name) {
    name_ = std::move(name);
    return state_.reveal.update(name_);
}

bool DownloadBanner::atRest() const {
    const OverlayReveal& reveal = state_.reveal;
    return (!reveal.shown() && reveal.phaseA() == 0.0 && reveal.phaseB() == 0.0) ||
           (reveal.shown() && reveal.phaseA() == 1.0 && reveal.phaseB() == 1.0);
}

void DownloadBanner::draw(const ScreenOutput& output) {
    drawDownloadScreen(state_, output.renderer, name_, output.rotation, *output.submitter);
}

}  // namespace lumetta::screens
