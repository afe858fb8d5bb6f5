#pragma once
// The options of the slide shapes, as plain values: what the playlist loader keeps in a shape
// layer and the shape elements take. Nothing here draws.

#include <SDL3/SDL_pixels.h>

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "core/named_enum.h"

namespace lumetta {

struct RectangleStyle {
    SDL_Color borderColor{0, 0, 0, 255};
    float borderWidth = 0;   // pixels, inward from the edge
    float cornerRadius = 0;  // all four corners unless hasCornerRadii
    float cornerRadii[4] = {0, 0, 0, 0};  // top-left, top-right, bottom-right, bottom-left
    bool hasCornerRadii = false;
    std::string gradient = "none";  // "none", "linear" or "radial"
    SDL_Color gradientColor{255, 255, 255, 255};  // end colour; the fill colour starts it
    double gradientAngle = 0;  // degrees: 0 left to right, 90 top to bottom
    double rotation = 0;       // degrees
    float blur = 0;            // width of the soft inner edge, pixels
    bool shadow = false;
    SDL_Color shadowColor{0, 0, 0, 255};
    float shadowOpacity = 0.5f;  // 0 to 1
    float shadowBlur = 8;
    float shadowOffsetX = 4;
    float shadowOffsetY = 4;
};

struct EllipseStyle {
    std::string mode = "fill";  // "fill", "ring", "arc" or "pie"
    SDL_Color borderColor{0, 0, 0, 255};
    float borderWidth = 0;   // pixels, inward
    float ringWidth = 10;    // thickness of "ring" and "arc", pixels; above 0 in every mode
    double startAngle = 0;   // degrees, counter-clockwise from the right, for "arc" and "pie"
    double endAngle = 360;
    std::string gradient = "none";  // "none", "linear" or "radial"
    SDL_Color gradientColor{255, 255, 255, 255};
    double gradientAngle = 0;
    float feather = 0;  // width of the soft inner edge, pixels
};

// Where a triangle's tip points, and its form. The words are those of the playlist's "triangle"
// options and of the Triangle element's word form.
enum class TriangleDirection : std::uint8_t { Up, Down, Left, Right };
enum class TriangleType : std::uint8_t { Isosceles, Equilateral, RightAngled };

inline constexpr std::array<std::string_view, 4> triangleDirectionWords = {"up", "down", "left", "right"};
inline constexpr std::array<std::string_view, 3> triangleTypeWords = {"isosceles", "equilateral", "right-angled"};

constexpr std::optional<TriangleDirection> triangleDirectionByName(std::string_view word) {
    return enumByName<TriangleDirection>(triangleDirectionWords, word);
}
constexpr std::optional<TriangleType> triangleTypeByName(std::string_view word) {
    return enumByName<TriangleType>(triangleTypeWords, word);
}
constexpr std::string_view triangleDirectionName(TriangleDirection direction) {
    return enumName(triangleDirectionWords, direction);
}
constexpr std::string_view triangleTypeName(TriangleType type) { return enumName(triangleTypeWords, type); }

}  // namespace lumetta
