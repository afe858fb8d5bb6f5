#include "player/scene_services.h"

#include <stdexcept>

namespace lumetta::player {

std::unique_ptr<SceneRuntime> createSceneRuntime(SDL_Renderer*, const std::string&, const Json::Value&) {
    throw std::runtime_error("scenes are not available yet");
}

AnimationPose evaluateAnimation(const AnimationSpec&, double) {
    throw std::runtime_error("layer animations are not available yet");
}

std::size_t loadSpriteSheet(SDL_Renderer*, const std::string&, const ticker::SpriteSpec&) {
    throw std::runtime_error("sprites are not available yet");
}

void prepareStencil(SDL_Renderer*, const std::string&, const StencilSpec&) {
    throw std::runtime_error("stencils are not available yet");
}

}  // namespace lumetta::player
