#pragma once
// Slide transitions: one frame of the change from the outgoing slide's picture to the incoming
// one, composited onto the renderer's current target, and the small texture-drawing helpers
// that the image motion and the download screen share.
//
// Every routine here is a pure function of its arguments: the same kind at the same progress
// always draws the same picture (the irregular-looking kinds take their randomness from a fixed
// hash of the tile or particle number). A routine that changes a texture's alpha or colour
// modulation sets it back to 255 / white before it returns; the white fade puts the renderer's
// draw colour back. The textures are expected to blend (SDL_BLENDMODE_BLEND, the default of
// textures with alpha), otherwise the fading kinds cut.
//
// Every draw goes through the DrawSubmitter handed in (the display's), plain copies as unturned
// SDL_RenderTextureRotated calls, which SDL turns into SDL_RenderTexture.
//
// Progress is a fraction in [0, 1]; anything outside is clamped and NaN counts as 0.

#include <SDL3/SDL.h>

#include <array>

#include "display/draw.h"
#include "player/transition_choice.h"

namespace lumetta::player {

// The kind numbers by name (positions in `transitionKindNames`).
namespace transition {
inline constexpr int pushLeft = 0;
inline constexpr int pushRight = 1;
inline constexpr int pushUp = 2;
inline constexpr int pushDown = 3;
inline constexpr int coverLeft = 4;
inline constexpr int coverRight = 5;
inline constexpr int coverUp = 6;
inline constexpr int coverDown = 7;
inline constexpr int coverUpLeft = 8;
inline constexpr int coverUpRight = 9;
inline constexpr int coverDownLeft = 10;
inline constexpr int coverDownRight = 11;
inline constexpr int particleDissolve = 12;
inline constexpr int particleBurstIn = 13;
inline constexpr int particleBurstOut = 14;
inline constexpr int clockWipe = 15;
inline constexpr int splitOpenHorizontal = 16;
inline constexpr int splitOpenVertical = 17;
inline constexpr int splitCloseHorizontal = 18;
inline constexpr int splitCloseVertical = 19;
inline constexpr int checkerboard = 20;
inline constexpr int mosaic = 21;
inline constexpr int randomHorizontalBars = 22;
inline constexpr int randomVerticalBars = 23;
inline constexpr int flipHorizontal = 24;
inline constexpr int flipVertical = 25;
inline constexpr int cubeHorizontal = 26;
inline constexpr int cubeVertical = 27;
inline constexpr int pageTurnHorizontal = 28;
inline constexpr int pageTurnVertical = 29;
inline constexpr int spiralWipe = 30;
inline constexpr int ripple = 31;
inline constexpr int shatter = 32;
inline constexpr int fadeThroughWhite = 33;
inline constexpr int crossFade = 34;
inline constexpr int fadeThroughBlack = 35;
inline constexpr int zoomIn = 36;
inline constexpr int zoomOut = 37;
inline constexpr int wipeLeft = 38;
inline constexpr int wipeRight = 39;
inline constexpr int wipeUp = 40;
inline constexpr int wipeDown = 41;
inline constexpr int horizontalBlinds = 42;
inline constexpr int verticalBlinds = 43;
inline constexpr int diagonalBlindsForward = 44;
inline constexpr int diagonalBlindsBackward = 45;
inline constexpr int curtainOpenHorizontal = 46;
inline constexpr int curtainOpenVertical = 47;
inline constexpr int curtainCloseHorizontal = 48;
inline constexpr int curtainCloseVertical = 49;
}  // namespace transition

// Fixed sizes of the particle geometry: one quad per cell of a 16 x 10 grid.
inline constexpr int particleColumns = 16;
inline constexpr int particleRows = 10;
inline constexpr int particleVertexCapacity = particleColumns * particleRows * 4;  // 640
inline constexpr int particleIndexCapacity = particleColumns * particleRows * 6;   // 960

// Progress clamped into [0, 1]; NaN gives 0.
double clampProgress(double progress);

// One frame of transition `kind` (0..49) at `progress` onto the renderer's current target of
// width x height pixels. `outgoing` may be null (every step that draws it is left out).
// Draws nothing without a renderer or incoming picture, with a size that is not positive or
// with a kind outside 0..49. The caller clears the target to opaque black first: the fade
// through black shows that clear.
void renderTransition(SDL_Renderer* renderer, SDL_Texture* outgoing, SDL_Texture* incoming, int width, int height,
                      int kind, double progress, DrawSubmitter& submitter = sdlDrawSubmitter());

// The source rectangle of `texture` (null: all of it) into the destination (null: the whole
// target), converted to float rectangles field by field.
void drawTransitionTexture(SDL_Renderer* renderer, SDL_Texture* texture, const SDL_Rect* source,
                           const SDL_Rect* destination, DrawSubmitter& submitter = sdlDrawSubmitter());

// The outgoing picture over the whole width x height target; nothing when it is null.
void drawOutgoingFrame(SDL_Renderer* renderer, SDL_Texture* outgoing, int width, int height,
                       DrawSubmitter& submitter = sdlDrawSubmitter());

// The whole texture mapped onto the quad `corners` (top-left, top-right, bottom-right,
// bottom-left of the texture), shaded by shade/255, in one geometry call.
void drawGeometryTransition(SDL_Renderer* renderer, SDL_Texture* texture, const std::array<SDL_FPoint, 4>& corners,
                            Uint8 shade, DrawSubmitter& submitter = sdlDrawSubmitter());

// The particle kinds, `mode` 12 (dissolve), 13 (burst in) or 14 (burst out), background
// included: 160 quads in fixed buffers, one geometry call, no heap allocation.
void buildTransitionGeometry(SDL_Renderer* renderer, SDL_Texture* outgoing, SDL_Texture* incoming, int width,
                             int height, int mode, double progress, DrawSubmitter& submitter = sdlDrawSubmitter());

// The bands of the diagonal blinds (the outgoing picture is the caller's): 12 diagonal bands of
// the incoming picture opening together, one geometry call per band.
void renderTransitionMesh(SDL_Renderer* renderer, SDL_Texture* incoming, int width, int height, bool backward,
                          double progress, DrawSubmitter& submitter = sdlDrawSubmitter());

}  // namespace lumetta::player
