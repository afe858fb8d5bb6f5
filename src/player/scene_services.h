#pragma once
// What the player loop takes from the scene engine: scene slides, layer animations, sprite
// sheets and stencils. The player is built without the engine for now, so each of these takes
// the loop's failure path: a scene slide plays without its scene, an animated layer is drawn
// still, sprite and stencilled layers are left out. The scene engine replaces these one for one.

#include <SDL3/SDL.h>
#include <json/value.h>

#include <memory>
#include <string>

#include "scene/animation_spec.h"
#include "scene/sprite_spec.h"
#include "scene/stencil_spec.h"

namespace lumetta::player {

// One running scene slide; the loop keeps it across slides with the same scene.
class SceneRuntime {
public:
    virtual ~SceneRuntime() = default;
    // Whether the scene draws the layer of that id itself, so the layer loop skips it.
    virtual bool excludesLayer(const std::string& layerId) const = 0;
    // One frame onto the current target; a negative time runs on the scene's live clock.
    virtual void drawFrame(int orientationDegrees, double timeSeconds) = 0;
};

// Throws std::runtime_error("scenes are not available yet").
std::unique_ptr<SceneRuntime> createSceneRuntime(SDL_Renderer* renderer, const std::string& playlistDirectory,
                                                 const Json::Value& scene);

// The pose of an animated layer at `timeMs` of the slide. Throws std::runtime_error("layer
// animations are not available yet").
AnimationPose evaluateAnimation(const AnimationSpec& animation, double timeMs);

// The number of frames a sprite plays, once its sheet is loaded. Throws std::runtime_error
// ("sprites are not available yet").
std::size_t loadSpriteSheet(SDL_Renderer* renderer, const std::string& playlistDirectory,
                            const ticker::SpriteSpec& sprite);

// Checks that a stencil can be drawn. Throws std::runtime_error("stencils are not available yet").
void prepareStencil(SDL_Renderer* renderer, const std::string& playlistDirectory, const StencilSpec& stencil);

}  // namespace lumetta::player
