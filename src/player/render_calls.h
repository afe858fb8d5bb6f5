#pragma once
// The renderer calls that the slide transitions and the image motion put pixels on the screen
// with. The caller hands them in; the default forwards to SDL. A test wraps them to see exactly
// which rectangles and vertices reach the renderer.

#include <SDL3/SDL.h>

namespace lumetta::player {

class RenderCalls {
public:
    virtual ~RenderCalls() = default;

    virtual bool renderTexture(SDL_Renderer* renderer, SDL_Texture* texture, const SDL_FRect* source,
                               const SDL_FRect* destination) {
        return SDL_RenderTexture(renderer, texture, source, destination);
    }
    virtual bool renderTextureRotated(SDL_Renderer* renderer, SDL_Texture* texture, const SDL_FRect* source,
                                      const SDL_FRect* destination, double angle, const SDL_FPoint* center,
                                      SDL_FlipMode flip) {
        return SDL_RenderTextureRotated(renderer, texture, source, destination, angle, center, flip);
    }
    virtual bool renderGeometry(SDL_Renderer* renderer, SDL_Texture* texture, const SDL_Vertex* vertices,
                                int vertexCount, const int* indices, int indexCount) {
        return SDL_RenderGeometry(renderer, texture, vertices, vertexCount, indices, indexCount);
    }
};

// SDL's own calls; shared by every caller that hands nothing else in (it holds no state).
RenderCalls& sdlRenderCalls();

}  // namespace lumetta::player
