#pragma once
// How a slide, laid out in its own units, lands on the render output: fitted whole into the
// viewport (a quarter turn swaps the slide's sides first) and turned by the display rotation
// about the viewport's centre. Everything is in double precision; each caller rounds the result
// its own way.
//
//   const SlideMapping mapping = SlideMapping::forRenderer(renderer, slideWidth, slideHeight);
//   if (!mapping.usable()) return;
//   const SDL_Rect target = roundedRect(mapping.box(x, y, w, h));
//   SDL_RenderTextureRotated(renderer, texture, nullptr, &asFRect(target), mapping.angle(), nullptr, flip);

#include <SDL3/SDL.h>

namespace lumetta {

// A rotation in degrees reduced into 0..359.
int normalizedRotation(int degrees);

struct OutputPoint {
    double x = 0;
    double y = 0;
};

// A slide box on the output before it is turned: drawn with its centre at (centreX, centreY) and
// turned about that centre by the mapping's angle.
struct OutputBox {
    double centreX = 0;
    double centreY = 0;
    double width = 0;
    double height = 0;
};

// An axis-aligned rectangle on the output, before rounding.
struct OutputRect {
    double x = 0;
    double y = 0;
    double w = 0;
    double h = 0;
};

class SlideMapping {
public:
    // `rotation` as stored (0, -90, -180, -270; any value is reduced). The mapping is not usable
    // when the viewport or the slide has no area.
    SlideMapping(SDL_Rect viewport, int rotation, int slideWidth, int slideHeight);

    // Reads the renderer's viewport (the whole output when it has none or cannot be read) and
    // `displayRotation`, once.
    static SlideMapping forRenderer(SDL_Renderer* renderer, int slideWidth, int slideHeight);

    bool usable() const { return scale_ > 0; }
    const SDL_Rect& viewport() const { return viewport_; }
    int rotation() const { return rotation_; }            // as given
    bool quarterTurn() const { return reduced_ == 90 || reduced_ == 270; }
    double angle() const { return -static_cast<double>(rotation_); }  // degrees, for SDL's clockwise turn
    double scale() const { return scale_; }                // output pixels per slide unit; 0 when not usable

    // The viewport's centre.
    OutputPoint centre() const;
    // An offset on the output (pixels, as if unturned) turned by the display rotation; quarter
    // turns are exact.
    OutputPoint turned(double dx, double dy) const;
    // A slide point on the output.
    OutputPoint point(double slideX, double slideY) const;
    // A slide box (x, y, width, height in slide units) on the output.
    OutputBox box(double x, double y, double width, double height) const;
    // The axis-aligned rectangle a mapped box covers once turned; meant for quarter turns, where
    // the sides swap.
    OutputRect bounds(const OutputBox& box) const;

private:
    SDL_Rect viewport_{};
    int rotation_ = 0;
    int reduced_ = 0;
    int slideWidth_ = 0;
    int slideHeight_ = 0;
    double scale_ = 0;
};

// The rounding the text, image and ticker elements share: the size to the nearest pixel (at least
// one), then the corner from the centre, saturating at the ends of the int range.
SDL_Rect roundedRect(const OutputBox& box);

}  // namespace lumetta
