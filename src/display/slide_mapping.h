#pragma once
// How a slide, drawn in its own units, lands on the render output: fitted into the viewport,
// turned by the display rotation.

namespace lumetta {

// A rotation in degrees reduced into 0..359.
int normalizedRotation(int degrees);

}  // namespace lumetta
