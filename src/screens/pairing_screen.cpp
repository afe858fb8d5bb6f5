#include "screens/pairing_screen.h"

#include <SDL3_image/SDL_image.h>

#include <algorithm>
#include <iostream>

#include "core/log.h"
#include "display/display.h"
#include "display/slide_mapping.h"
#include "screens/pairing_help_picture.h"

namespace lumetta::screens {

namespace {

void loadHelp(PairingScreenState& state, SDL_Renderer* renderer) {
    state.helpLoadTried = true;
    SDL_IOStream* stream = SDL_IOFromConstMem(state.helpPicture.data(), state.helpPicture.size());
    // The loader closes the stream whatever happens.
    if (stream != nullptr) state.helpTexture.reset(IMG_LoadTexture_IO(renderer, stream, true));
    if (!state.helpTexture) logText(std::cerr, std::string("Could not load pairing help: ") + SDL_GetError());
}

void drawHelp(SDL_Texture* help, SDL_Renderer* renderer, int width, int height, int rotation,
              DrawSubmitter& submitter) {
    float textureWidth = 0, textureHeight = 0;
    if (!SDL_GetTextureSize(help, &textureWidth, &textureHeight) || textureWidth <= 0 || textureHeight <= 0) return;
    // Turned the way the slides turn, and fitted whole into the turned screen.
    const int turn = normalizedRotation(rotation);
    const bool quarter = turn == 90 || turn == 270;
    const double fitWidth = quarter ? height : width;
    const double fitHeight = quarter ? width : height;
    const double scale = std::min(fitWidth / textureWidth, fitHeight / textureHeight);
    const SDL_FRect place{static_cast<float>((width - textureWidth * scale) / 2),
                          static_cast<float>((height - textureHeight * scale) / 2),
                          static_cast<float>(textureWidth * scale), static_cast<float>(textureHeight * scale)};
    SDL_SetRenderDrawColor(renderer, 0, 0, 0, 255);
    SDL_RenderFillRect(renderer, nullptr);
    submitter.renderTextureRotated(renderer, help, nullptr, &place, -static_cast<double>(turn), nullptr,
                                   SDL_FLIP_NONE);
}

}  // namespace

std::span<const unsigned char> pairingHelpPicture() { return {pairingHelpPng, pairingHelpPngSize}; }

bool updatePairingStatus(PairingScreenState& state, const PairingStatus& status, bool running, std::uint64_t now) {
    bool changed = state.showHelp != running;
    state.showHelp = running;
    if (status.counter != state.lastCounter) {
        state.lastCounter = status.counter;
        state.statusText = status.text;
        state.inProgress = status.inProgress;
        state.hideAt = status.inProgress ? 0 : now + pairingFinalStatusMs;
        state.showStatus = !status.text.empty();
        changed = true;
    }
    if (state.showStatus && !state.inProgress && now >= state.hideAt) {
        state.showStatus = false;
        changed = true;
    }
    return changed;
}

void drawPairingScreen(PairingScreenState& state, SDL_Renderer* renderer, int width, int height, int rotation,
                       DrawSubmitter& submitter) {
    if (renderer == nullptr) return;
    if (state.showHelp) {
        if (!state.helpTexture && !state.helpLoadTried) loadHelp(state, renderer);
        if (state.helpTexture) drawHelp(state.helpTexture.get(), renderer, width, height, rotation, submitter);
    }
    if (state.showStatus) {
        SDL_Texture* text = state.status.prepare(renderer, state.statusText, height);
        if (text != nullptr) drawOverlayBox(renderer, text, state.status.width(), state.status.height(), width, height);
    }
}

bool PairingPanel::update() {
    if (pairing_ == nullptr) return false;
    return updatePairingStatus(state_, pairing_->status(), pairing_->running(), clock_->ticksMs());
}

void PairingPanel::draw(const ScreenOutput& output) {
    drawPairingScreen(state_, output.renderer, output.width, output.height, output.rotation, *output.submitter);
}

namespace {

// The pairing screen: the panel alone on black until the pairing ends.
class PairingScreen final : public Screen {
public:
    PairingScreen(PairingScreenState& state, RemotePairing& pairing, Display& display, Clock& clock)
        : state_(state), pairing_(pairing), display_(display), clock_(clock) {}

    // Every event is dropped.
    ScreenAnswer takeEvent(const SDL_Event&) override { return ScreenAnswer::taken; }
    void draw(const ScreenOutput& output) override {
        const PairingStatus status = pairing_.status();
        updatePairingStatus(state_, status, pairing_.running(), clock_.ticksMs());
        display_.clear(SDL_Color{0, 0, 0, 255});
        drawPairingScreen(state_, output.renderer, output.width, output.height, output.rotation, *output.submitter);
    }
    bool finished() const override { return !pairing_.running(); }

private:
    PairingScreenState& state_;
    RemotePairing& pairing_;
    Display& display_;
    Clock& clock_;
};

}  // namespace

PairingScreenEnd runPairingScreen(PairingScreenState& state, RemotePairing& pairing, Display& display,
                                  EventPump& events, Clock& clock, const std::function<void()>& beforePresent) {
    PairingScreen screen(state, pairing, display, clock);
    ModalPace pace;
    pace.clock = &clock;
    pace.frameGapMs = 16;
    pace.beforePresent = beforePresent;
    switch (runModalScreen(screen, events, display, pace)) {
        case ModalEnd::finished: return PairingScreenEnd::pairingOver;
        case ModalEnd::quit: return PairingScreenEnd::quit;
        case ModalEnd::stopped: break;
    }
    return PairingScreenEnd::stopped;
}

}  // namespace lumetta::screens
