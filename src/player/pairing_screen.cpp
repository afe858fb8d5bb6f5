#include "player/pairing_screen.h"

#include <SDL3_image/SDL_image.h>

#include <algorithm>
#include <iostream>

#include "core/log.h"
#include "core/process_state.h"
#include "display/display.h"
#include "display/slide_mapping.h"
#include "link/player_events.h"
#include "player/pairing_help_picture.h"

namespace lumetta::player {

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

PairingScreenEnd runPairingScreen(PairingScreenState& state, RemotePairing& pairing, Display& display, Clock& clock,
                                  const std::function<void()>& beforePresent, std::atomic<bool>& running) {
    bool quit = false;
    // A playlist waiting in its slot and a television gone to sleep are told only by these
    // wake-ups; the slide goes on after the screen, so they are queued again for the loop
    // instead of being lost with the rest.
    bool playlistReady = false;
    bool standbyChanged = false;
    do {
        const PairingStatus status = pairing.status();
        updatePairingStatus(state, status, pairing.running(), clock.ticksMs());
        display.clear(SDL_Color{0, 0, 0, 255});
        drawPairingScreen(state, display.renderer(), display.width(), display.height(), displayRotation.load(),
                          display.drawSubmitter());
        if (beforePresent) beforePresent();
        display.present(true);

        SDL_Event event;
        while (SDL_PollEvent(&event)) {
            const bool ctrlEscape = event.type == SDL_EVENT_KEY_DOWN && event.key.key == SDLK_ESCAPE &&
                                    (event.key.mod & SDL_KMOD_CTRL) != 0;
            if (event.type == SDL_EVENT_QUIT || event.type == SDL_EVENT_DISPLAY_REMOVED || ctrlEscape) {
                running = false;
                quit = true;
            }
            playlistReady = playlistReady || event.type == playlistReadyEvent;
            standbyChanged = standbyChanged || event.type == standbyChangedEvent;
        }
        clock.sleepFor(16);
    } while (running && pairing.running());
    if (playlistReady) pushPlayerEvent(playlistReadyEvent);
    if (standbyChanged) pushPlayerEvent(standbyChangedEvent);
    if (quit) return PairingScreenEnd::quit;
    return running ? PairingScreenEnd::pairingOver : PairingScreenEnd::stopped;
}

}  // namespace lumetta::player
