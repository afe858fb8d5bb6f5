#include "link/player_events.h"

#include <SDL3/SDL_events.h>

namespace lumetta {

static_assert(playlistReadyEvent == SDL_EVENT_USER + 1 && groupChangedEvent == SDL_EVENT_USER + 2 &&
              standbyChangedEvent == SDL_EVENT_USER + 3);

bool pushPlayerEvent(std::uint32_t type, std::int32_t code) {
    SDL_Event event;
    SDL_zero(event);
    event.type = type;
    event.user.code = code;
    return SDL_PushEvent(&event);
}

bool pushPlayerEventOnce(std::uint32_t type, std::int32_t code) {
    if (SDL_HasEvent(type)) return true;
    return pushPlayerEvent(type, code);
}

}  // namespace lumetta
