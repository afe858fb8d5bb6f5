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

// The kind numbers by name (positions in `transitionKindNames`), taken from the transitions.
namespace transition {
inline constexpr int pushLeft = *transitionKind(Transition::PushLeft);
inline constexpr int pushRight = *transitionKind(Transition::PushRight);
inline constexpr int pushUp = *transitionKind(Transition::PushUp);
inline constexpr int pushDown = *transitionKind(Transition::PushDown);
inline constexpr int coverLeft = *transitionKind(Transition::CoverLeft);
inline constexpr int coverRight = *transitionKind(Transition::CoverRight);
inline constexpr int coverUp = *transitionKind(Transition::CoverUp);
inline constexpr int coverDown = *transitionKind(Transition::CoverDown);
inline constexpr int coverUpLeft = *transitionKind(Transition::CoverUpLeft);
inline constexpr int coverUpRight = *transitionKind(Transition::CoverUpRight);
inline constexpr int coverDownLeft = *transitionKind(Transition::CoverDownLeft);
inline constexpr int coverDownRight = *transitionKind(Transition::CoverDownRight);
inline constexpr int particleDissolve = *transitionKind(Transition::ParticleDissolve);
inline constexpr int particleBurstIn = *transitionKind(Transition::ParticleBurstIn);
inline constexpr int particleBurstOut = *transitionKind(Transition::ParticleBurstOut);
inline constexpr int clockWipe = *transitionKind(Transition::ClockWipe);
inline constexpr int splitOpenHorizontal = *transitionKind(Transition::SplitOpenHorizontal);
inline constexpr int splitOpenVertical = *transitionKind(Transition::SplitOpenVertical);
inline constexpr int splitCloseHorizontal = *transitionKind(Transition::SplitCloseHorizontal);
inline constexpr int splitCloseVertical = *transitionKind(Transition::SplitCloseVertical);
inline constexpr int checkerboard = *transitionKind(Transition::Checkerboard);
inline constexpr int mosaic = *transitionKind(Transition::Mosaic);
inline constexpr int randomHorizontalBars = *transitionKind(Transition::RandomHorizontalBars);
inline constexpr int randomVerticalBars = *transitionKind(Transition::RandomVerticalBars);
inline constexpr int flipHorizontal = *transitionKind(Transition::FlipHorizontal);
inline constexpr int flipVertical = *transitionKind(Transition::FlipVertical);
inline constexpr int cubeHorizontal = *transitionKind(Transition::CubeHorizontal);
inline constexpr int cubeVertical = *transitionKind(Transition::CubeVertical);
inline constexpr int pageTurnHorizontal = *transitionKind(Transition::PageTurnHorizontal);
inline constexpr int pageTurnVertical = *transitionKind(Transition::PageTurnVertical);
inline constexpr int spiralWipe = *transitionKind(Transition::SpiralWipe);
inline constexpr int ripple = *transitionKind(Transition::Ripple);
inline constexpr int shatter = *transitionKind(Transition::Shatter);
inline constexpr int fadeThroughWhite = *transitionKind(Transition::FadeThroughWhite);
inline constexpr int crossFade = *transitionKind(Transition::CrossFade);
inline constexpr int fadeThroughBlack = *transitionKind(Transition::FadeThroughBlack);
inline constexpr int zoomIn = *transitionKind(Transition::ZoomIn);
inline constexpr int zoomOut = *transitionKind(Transition::ZoomOut);
inline constexpr int wipeLeft = *transitionKind(Transition::WipeLeft);
inline constexpr int wipeRight = *transitionKind(Transition::WipeRight);
inline constexpr int wipeUp = *transitionKind(Transition::WipeUp);
inline constexpr int wipeDown = *transitionKind(Transition::WipeDown);
inline constexpr int horizontalBlinds = *transitionKind(Transition::HorizontalBlinds);
inline constexpr int verticalBlinds = *transitionKind(Transition::VerticalBlinds);
inline constexpr int diagonalBlindsForward = *transitionKind(Transition::DiagonalBlindsForward);
inline constexpr int diagonalBlindsBackward = *transitionKind(Transition::DiagonalBlindsBackward);
inline constexpr int curtainOpenHorizontal = *transitionKind(Transition::CurtainOpenHorizontal);
inline constexpr int curtainOpenVertical = *transitionKind(Transition::CurtainOpenVertical);
inline constexpr int curtainCloseHorizontal = *transitionKind(Transition::CurtainCloseHorizontal);
inline constexpr int curtainCloseVertical = *transitionKind(Transition::CurtainCloseVertical);
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
