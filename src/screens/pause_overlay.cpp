#include "screens/pause_overlay.h"

#include <limits>

namespace lumetta::screens {

int pauseSecondsRemaining(std::uint64_t pauseEnd, std::uint64_t now) {
    if (now >= pauseEnd) return 0;
    const std::uint64_t seconds = (pauseEnd - now) / 1000 + ((pauseEnd - now) % 1000 != 0 ? 1 : 0);
    return seconds > static_cast<std::uint64_t>(std::numeric_limits<int>::max()) ? std::numeric_limits<int>::max()
                                                                                 : static_cast<int>(seconds);
}

void drawPauseOverlay(PauseOverlayState& state, SDL_Renderer* renderer, int width, int height, std::uint64_t now) {
    const int seconds = pauseSecondsRemaining(state.pauseEnd, now);
    if (renderer == nullptr || seconds <= 0) return;
    const std::string line = "Playback paused - " + std::to_string(seconds) + " seconds remaining";
    SDL_Texture* texture = state.text.prepare(renderer, line, height);
    if (texture == nullptr) return;
    drawOverlayBox(renderer, texture, state.text.width(), state.text.height(), width, height);
}

}  // namespace lumetta::screens
