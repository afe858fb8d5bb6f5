#pragma once
// The playlist's calls into the scene engine, for a player built without it.
//
// Every slide or layer member that only the scene engine could read is refused by name, so that
// nothing of a scene, slideshow, sprite, animation or layer geometry is ever accepted unchecked;
// a document without such members is treated exactly as the engine treats one that leaves them
// out (no animation, no canvas motion, the slide's size as canvas), and layer ids follow the
// engine's rule. The scene engine replaces these functions one for one.
//
// Refusals are std::invalid_argument with the text
//     [layer M ]member "NAME" needs the scene engine, not available in this player
// (the layer part only where a slide's layer list is checked).

#include <json/json.h>

#include "scene/animation_spec.h"
#include "scene/layer_spec.h"
#include "scene/sprite_spec.h"

namespace lumetta {

// Checks a slide's "layers" against the slide: refuses a "slideshow" (nothing expanded it) and,
// layer by layer, the members "sprite", "animation", "canvas", "motion", "stencil", "clip",
// "scroll", "wrapX" and "wrapY" when not null; then an "id", when present, must be a non-empty
// text ("Layer ID must be a nonempty string"). Elements that are not objects are left to the
// caller's own checks.
void parseLayers(const Json::Value& slide);

// Refuses a slide whose "scene" is present and not null.
void loadSceneForSlide(const Json::Value& slide);

// The slide unchanged: without the engine there is nothing to expand, and parseLayers refuses
// a "slideshow" that is left in it.
Json::Value parseSlideshow(const Json::Value& slide);

// Null gives the defaults (no movement); anything else is refused.
AnimationSpec parseAnimation(const Json::Value& value);

// Always refused.
ticker::SpriteSpec parseSprite(const Json::Value& sprite);

// The geometry of a layer that sets none: the slide's size as canvas, nothing else. A layer
// with a non-null "canvas", "motion", "stencil", "clip", "scroll", "wrapX" or "wrapY" is refused.
LayerSpec parseLayer(const Json::Value& layer, int slideWidth, int slideHeight);

}  // namespace lumetta
