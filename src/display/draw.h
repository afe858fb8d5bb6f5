#pragma once
// The drawing primitives every element puts its textures on the screen with. They honour the
// calling thread's draw context (display/draw_context.h).

#include <SDL3/SDL.h>

#include <vector>

#include "display/draw_context.h"

namespace lumetta {

// The two SDL calls that finally put pixels on a renderer. The real one is `sdlDrawSubmitter()`;
// the display hands its own to the elements (Display::drawSubmitter), and tests hand in one that
// records or fails the geometry given to SDL.
class DrawSubmitter {
public:
    virtual ~DrawSubmitter() = default;
    virtual bool renderGeometry(SDL_Renderer* renderer, SDL_Texture* texture, const SDL_Vertex* vertices,
                                int vertexCount, const int* indices, int indexCount) = 0;
    virtual bool renderTextureRotated(SDL_Renderer* renderer, SDL_Texture* texture, const SDL_FRect* source,
                                      const SDL_FRect* destination, double angle, const SDL_FPoint* center,
                                      SDL_FlipMode flip) = 0;
};

// SDL_RenderGeometry and SDL_RenderTextureRotated themselves.
DrawSubmitter& sdlDrawSubmitter();

// SDL_RenderTextureRotated with the same arguments and result. With an active layer transform
// (and a destination) the draw is moved, turned, scaled, faded and clipped by it; the texture's
// alpha and colour modulation and blend mode are put back before it returns. False only when
// an SDL call fails (SDL_GetError tells why); a draw that covers nothing is true.
bool drawTexture(SDL_Renderer* renderer, SDL_Texture* texture, const SDL_FRect* source,
                 const SDL_FRect* destination, double angle, const SDL_FPoint* center, SDL_FlipMode flip,
                 DrawSubmitter& submitter = sdlDrawSubmitter());

// Draws a textured polygon (no indices: the vertices in order form one polygon, drawn as a fan)
// or a triangle list (three indices per triangle) under `transform`: reveal clip, point
// transform, and, under an active layer canvas, the mapping onto the output with wrap copies.
// `vertices` is rewritten in place. A null texture fills with the vertex colours.
bool renderTextureGeometry(SDL_Renderer* renderer, SDL_Texture* texture, std::vector<SDL_Vertex>& vertices,
                           const LayerTransform& transform, const std::vector<int>* indices = nullptr,
                           DrawSubmitter& submitter = sdlDrawSubmitter());

// Maps one point through a LayerTransform (pivot, axis scale, uniform scale, turn, translation).
SDL_FPoint transformLayerPoint(const LayerTransform& transform, double x, double y);

// The whole texture into {x, y, w, h} given in the unrotated layout of a screen turned by
// `rotation` degrees: the rectangle's centre is mapped onto the screen (for 90, 180 and 270
// after reduction modulo 360; any other turn keeps it where it is) and the texture is turned
// by -rotation about it.
void drawRotatedTexture(int rotation, int screenHeight, int screenWidth, SDL_Renderer* renderer,
                        SDL_Texture* texture, float x, float y, float w, float h,
                        DrawSubmitter& submitter = sdlDrawSubmitter());

}  // namespace lumetta
