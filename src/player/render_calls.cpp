#include "player/render_calls.h"

namespace lumetta::player {

RenderCalls& sdlRenderCalls() {
    static RenderCalls calls;
    return calls;
}

}  // namespace lumetta::player
