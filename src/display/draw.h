#pragma once
// The drawing primitives every element puts its textures on the screen with. They honour the
// calling thread's draw context (display/draw_context.h).

#include <SDL3/SDL.h>

#include <vector>

#include "display/draw_context.h"

namespace lumetta {

// SDL_RenderTextureRotated with the same arguments and result. With an active layer transform
// (and a destination) the draw is moved, turned, scaled, faded and clipped by it; the texture's
// alpha and colour modulation and blend mode are put back before it returns. False only when
// an SDL call fails (SDL_GetError tells why); a draw that covers nothing is true.
bool drawTexture(SDL_Renderer* renderer, SDL_Texture* texture, const SDL_FRect* source,
                 const SDL_FRect* destination, double angle, const SDL_FPoint* center, SDL_FlipMode flip);

// Draws a textured polygon (no indices: the vertices in order form one polygon, drawn as a fan)
// or a triangle list (three indices per triangle) under `transform`: reveal clip, point
// transform, and, under an active layer canvas, the mapping onto the output with wrap copies.
// `vertices` is rewritten in place. A null texture fills with the vertex colours.
bool renderTextureGeometry(SDL_Renderer* renderer, SDL_Texture* texture, std::vector<SDL_Vertex>& vertices,
                           const LayerTransform& transform, const std::vector<int>* indices = nullptr);

// Maps one point through a LayerTransform (pivot, axis scale, uniform scale, turn, translation).
SDL_FPoint transformLayerPoint(const LayerTransform& transform, double x, double y);

// The two SDL calls that finally put pixels on the renderer, replaceable per thread so that the
// geometry handed to SDL can be observed. Defaults are SDL's own functions.
struct DrawSubmitters {
    bool (*renderGeometry)(SDL_Renderer*, SDL_Texture*, const SDL_Vertex*, int, const int*, int) =
        SDL_RenderGeometry;
    bool (*renderTextureRotated)(SDL_Renderer*, SDL_Texture*, const SDL_FRect*, const SDL_FRect*, double,
                                 const SDL_FPoint*, SDL_FlipMode) = SDL_RenderTextureRotated;
};
DrawSubmitters& drawSubmitters();

}  // namespace lumetta
