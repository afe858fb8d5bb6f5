// The rasterisers skip work for pixels they know to be deep inside or far outside a shape.
// These tests hold them to the plain per-sample rules, written out here one sample at a
// time with no shortcut, over shapes chosen to put every shortcut's boundary in view.

#include "objects/shape_raster.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <numbers>
#include <string>
#include <string_view>
#include <vector>

#include "objects/picture.h"

namespace lumetta {
namespace {

using testing::Picture;

// The corners for the option words the cases are written in.
void placeTriangle(TriangleRaster& shape, int width, int height, std::string_view direction, std::string_view type,
                   double tipPosition) {
    lumetta::placeTriangle(shape, width, height, triangleDirectionByName(direction).value(),
                           triangleTypeByName(type).value(), tipPosition);
}

constexpr double kPi = std::numbers::pi;
constexpr double kOffsets[4] = {0.125, 0.375, 0.625, 0.875};

std::uint8_t byteOf(long value) {
    return static_cast<std::uint8_t>(std::clamp(value, 0L, 255L));
}

double reduced(double degrees) {
    double r = std::fmod(degrees, 360.0);
    return r < 0 ? r + 360.0 : r;
}

// ---------------------------------------------------------------------------------------
// Plain rules

double roundedBox(double px, double py, double hw, double hh, const double* radii) {
    const double r = py < 0 ? (px < 0 ? radii[0] : radii[1]) : (px < 0 ? radii[3] : radii[2]);
    const double qx = std::fabs(px) - hw + r;
    const double qy = std::fabs(py) - hh + r;
    return std::hypot(std::max(qx, 0.0), std::max(qy, 0.0)) + std::min(std::max(qx, qy), 0.0) - r;
}

std::uint32_t plainRectanglePixel(const RectangleRaster& s, int i, int j) {
    const double hw = s.width / 2.0, hh = s.height / 2.0, m = s.margin;
    double radii[4];
    for (int q = 0; q < 4; ++q) {
        radii[q] = std::min(s.radii[q], std::min(hw, hh));
    }
    const double theta = std::fmod(s.gradientAngle, 360.0) * kPi / 180.0;
    const double c = std::cos(theta), sn = std::sin(theta);
    const double extent = std::fabs(sn) * hh + std::fabs(c) * hw;
    double sr = 0, sg = 0, sb = 0, sa = 0;
    for (double oy : kOffsets) {
        for (double ox : kOffsets) {
            const double px = i + ox - m - hw, py = j + oy - m - hh;
            double r = 0, g = 0, b = 0, a = 0;
            const double d = roundedBox(px, py, hw, hh, radii);
            if (d <= 0) {
                const double depth = -d;
                const double v = s.blur > 0 ? std::min(depth / s.blur, 1.0) : 1.0;
                if (depth < s.borderWidth) {
                    const SDL_Color bc = s.borderColor;
                    r = bc.r * static_cast<double>(bc.a) / 255 * v;
                    g = bc.g * static_cast<double>(bc.a) / 255 * v;
                    b = bc.b * static_cast<double>(bc.a) / 255 * v;
                    a = bc.a / 255.0 * v;
                } else {
                    double t = 0;
                    if (s.gradient == ShapeGradient::Linear) {
                        t = std::clamp(0.5 + (c * px + sn * py) / (2 * extent), 0.0, 1.0);
                    } else if (s.gradient == ShapeGradient::Radial) {
                        t = std::min(1.0, std::hypot(px / hw, py / hh));
                    }
                    const double wa = s.color.a * (1 - t) / 255;
                    const double wb = s.gradientColor.a * t / 255;
                    r = (s.color.r * wa + s.gradientColor.r * wb) * v;
                    g = (s.color.g * wa + s.gradientColor.g * wb) * v;
                    b = (s.color.b * wa + s.gradientColor.b * wb) * v;
                    a = (wa + wb) * v;
                }
            }
            if (s.shadow) {
                const double dS = roundedBox(px - s.shadowOffsetX, py - s.shadowOffsetY, hw, hh, radii);
                double u;
                if (s.shadowBlur > 0) {
                    u = std::clamp(0.5 - dS / (2 * s.shadowBlur), 0.0, 1.0);
                    u = u * u * (3 - 2 * u);
                } else {
                    u = dS <= 0 ? 1.0 : 0.0;
                }
                const double shade = s.shadowOpacity * u * s.shadowColor.a / 255 * (1 - a);
                r += s.shadowColor.r * shade;
                g += s.shadowColor.g * shade;
                b += s.shadowColor.b * shade;
                a += shade;
            }
            sr += r;
            sg += g;
            sb += b;
            sa += a;
        }
    }
    const double k = s.alpha / 255.0;
    sr *= k;
    sg *= k;
    sb *= k;
    sa *= k;
    if (!(sa > 0)) {
        return 0;
    }
    return packAbgr8888(byteOf(std::lround(sr / sa)), byteOf(std::lround(sg / sa)), byteOf(std::lround(sb / sa)),
                        byteOf(std::lround(sa * 255 * 0.0625)));
}

std::uint32_t plainTrianglePixel(const TriangleRaster& s, int i, int j) {
    unsigned fillCount = 0, borderCount = 0;
    for (double oy : kOffsets) {
        for (double ox : kOffsets) {
            const double sx = i + ox, sy = j + oy;
            double nearest = 0;
            for (int e = 0; e < 3; ++e) {
                const int n = (e + 1) % 3;
                const double x0 = s.x[e], y0 = s.y[e], x1 = s.x[n], y1 = s.y[n];
                const double distance =
                    ((sy - y0) * (x1 - x0) - (sx - x0) * (y1 - y0)) / std::hypot(x1 - x0, y1 - y0);
                nearest = e == 0 ? distance : std::min(nearest, distance);
            }
            if (nearest < 0) {
                continue;
            }
            (nearest < s.borderWidth ? borderCount : fillCount) += 1;
        }
    }
    const unsigned wF = fillCount * s.fillAlpha, wB = borderCount * s.borderAlpha, total = wF + wB;
    if (total == 0) {
        return 0;
    }
    auto channel = [&](unsigned f, unsigned b) { return static_cast<std::uint8_t>((wF * f + wB * b + total / 2) / total); };
    return packAbgr8888(channel(s.color.r, s.borderColor.r), channel(s.color.g, s.borderColor.g),
                        channel(s.color.b, s.borderColor.b), static_cast<std::uint8_t>((total + 8) / 16));
}

std::uint32_t plainEllipsePixel(const EllipseRaster& s, int width, int height, int i, int j) {
    const double hw = width / 2.0, hh = height / 2.0;
    const bool hollow = s.mode == EllipseMode::Ring || s.mode == EllipseMode::Arc;
    const bool sector = s.mode == EllipseMode::Arc || s.mode == EllipseMode::Pie;
    const double a0 = reduced(s.startAngle);
    const double sweep = std::fabs(s.endAngle - s.startAngle) >= 360 ? 360 : reduced(s.endAngle - s.startAngle);
    const double theta = reduced(s.gradientAngle) * kPi / 180.0;
    const double gc = std::cos(theta), gs = std::sin(theta);
    const double extent = std::hypot(hw * gc, hh * gs);
    auto edgeDistance = [&](double degrees, double px, double py) {
        const double b = degrees * kPi / 180.0;
        const double cb = std::cos(b), sb = std::sin(b);
        const double length = 1 / std::hypot(cb / hw, sb / hh);
        double low = 0;
        if (s.mode == EllipseMode::Arc && length - s.ringWidth > 0) {
            low = length - s.ringWidth;
        }
        const double along = std::clamp(px * cb + py * -sb, low, length);
        return std::hypot(px - cb * along, py - -sb * along);
    };
    double sr = 0, sg = 0, sb = 0, sa = 0;
    for (double oy : kOffsets) {
        for (double ox : kOffsets) {
            const double px = i + ox - hw, py = j + oy - hh;
            const double rho = std::hypot(px / hw, py / hh);
            if (rho > 1) {
                continue;
            }
            const double r = std::hypot(px, py);
            const double re = rho > 0 ? r / rho : std::min(hw, hh);
            double depth = re - r;
            if (hollow) {
                const double inner = re - s.ringWidth;
                if (inner > 0) {
                    if (r < inner) {
                        continue;
                    }
                    depth = std::min(depth, r - inner);
                }
            }
            if (sector) {
                if (sweep == 0) {
                    continue;
                }
                const double angle = reduced(std::atan2(-py, px) * 180.0 / kPi);
                if (reduced(angle - a0) > sweep) {
                    continue;
                }
                depth = std::min({depth, edgeDistance(a0, px, py), edgeDistance(a0 + sweep, px, py)});
            }
            const double v = s.feather > 0 ? std::max(0.0, std::min(depth / s.feather, 1.0)) : 1.0;
            if (depth < s.borderWidth) {
                const double ba = s.borderAlpha;
                sr += s.borderColor.r * ba * v;
                sg += s.borderColor.g * ba * v;
                sb += s.borderColor.b * ba * v;
                sa += ba * v;
                continue;
            }
            double t = 0;
            if (s.gradient == ShapeGradient::Linear) {
                t = std::clamp(0.5 + (gc * px + gs * py) / (2 * extent), 0.0, 1.0);
            } else if (s.gradient == ShapeGradient::Radial) {
                t = rho;
            }
            const double wa = s.fillAlpha * (1 - t);
            const double wb = s.gradientAlpha * t;
            sr += (s.color.r * wa + s.gradientColor.r * wb) * v;
            sg += (s.color.g * wa + s.gradientColor.g * wb) * v;
            sb += (s.color.b * wa + s.gradientColor.b * wb) * v;
            sa += (wa + wb) * v;
        }
    }
    if (!(sa > 0)) {
        return 0;
    }
    return packAbgr8888(byteOf(std::lround(sr / sa)), byteOf(std::lround(sg / sa)), byteOf(std::lround(sb / sa)),
                        byteOf(std::lround(sa * 0.0625)));
}

std::uint32_t plainStarPixel(const StarRaster& s, int width, int height, int i, int j) {
    const std::vector<double>& outline = *s.outline;
    const int corners = static_cast<int>(outline.size());
    const double hw = width / 2.0, hh = height / 2.0;
    const double h = kPi / (corners / 2);
    unsigned count = 0;
    for (double oy : kOffsets) {
        for (double ox : kOffsets) {
            const double nx = (i + ox - hw) / hw, ny = (j + oy - hh) / hh;
            double theta = std::atan2(ny, nx) + kPi / 2;
            if (theta < 0) {
                theta += 2 * kPi;
            }
            const int k = static_cast<int>(theta / h);
            const double phi = theta - k * h;
            const double ra = outline[k % corners], rb = outline[(k + 1) % corners];
            const double edge = ra * rb * std::sin(h) / (ra * std::sin(phi) + rb * std::sin(h - phi));
            count += nx * nx + ny * ny <= edge * edge ? 1 : 0;
        }
    }
    return packAbgr8888(s.color.r, s.color.g, s.color.b, static_cast<std::uint8_t>((s.alpha * count + 8) / 16));
}

// Every pixel of `picture` against the plain rule; stops at the first few differences.
template <typename Plain>
void expectPlain(const Picture& picture, const std::string& label, Plain plain) {
    int differences = 0;
    for (int j = 0; j < picture.height && differences < 5; ++j) {
        for (int i = 0; i < picture.width && differences < 5; ++i) {
            const std::uint32_t want = plain(i, j);
            const std::uint32_t got = picture.pixels[static_cast<std::size_t>(j) * picture.width + i];
            if (want != got) {
                ++differences;
                ADD_FAILURE() << label << " pixel (" << i << ", " << j << ") is " << std::hex << got << " not "
                              << want;
            }
        }
    }
}

// ---------------------------------------------------------------------------------------

TEST(ShapeRasterShortcuts, RectanglesMatchThePlainRule) {
    struct Case {
        std::string label;
        int w, h;
        double radius;
        ShapeGradient gradient;
        double angle;
        double border, blur;
        bool shadow;
        double shadowBlur, offX, offY;
        std::uint8_t fillAlpha, shadowAlpha, alpha;
    };
    const Case cases[] = {
        {"plain rounded", 90, 60, 12, ShapeGradient::None, 0, 0, 0, false, 0, 0, 0, 255, 255, 255},
        {"border and blur", 97, 61, 7.5, ShapeGradient::None, 0, 5.25, 3.5, false, 0, 0, 0, 255, 255, 255},
        {"linear at 30", 120, 70, 9, ShapeGradient::Linear, 30, 2, 1, false, 0, 0, 0, 255, 255, 255},
        {"linear at -135", 81, 120, 0, ShapeGradient::Linear, -135, 0, 0, false, 0, 0, 0, 255, 255, 255},
        {"radial", 100, 50, 25, ShapeGradient::Radial, 0, 3, 2, false, 0, 0, 0, 255, 255, 255},
        {"opaque over shadow", 90, 70, 10, ShapeGradient::None, 0, 2, 1, true, 6, 4, 3, 255, 200, 255},
        {"translucent over shadow", 90, 70, 10, ShapeGradient::None, 0, 0, 2, true, 5, -7, 2, 120, 255, 200},
        {"linear over shadow", 110, 64, 6, ShapeGradient::Linear, 90, 1, 0, true, 3, 2, -9, 180, 255, 255},
        {"hard shadow", 64, 64, 16, ShapeGradient::Radial, 0, 0, 0, true, 0, 5, 5, 90, 255, 128},
        {"far shadow", 60, 40, 4, ShapeGradient::None, 0, 0, 0, true, 2, 70, 0, 128, 255, 255},
        // A blur wider than any radius or border: square corners, no border.
        {"wide blur, square", 80, 50, 0, ShapeGradient::None, 0, 0, 6, false, 0, 0, 0, 255, 255, 255},
    };
    for (const Case& c : cases) {
        RectangleRaster s;
        s.width = c.w;
        s.height = c.h;
        for (double& r : s.radii) {
            r = c.radius;
        }
        s.radii[2] = c.radius / 2;
        s.color = {200, 40, 90, c.fillAlpha};
        s.gradient = c.gradient;
        s.gradientColor = {10, 220, 60, 230};
        s.gradientAngle = c.angle;
        s.borderColor = {30, 30, 250, 210};
        s.borderWidth = c.border;
        s.blur = c.blur;
        s.shadow = c.shadow;
        s.shadowColor = {5, 15, 25, c.shadowAlpha};
        s.shadowOpacity = 0.6;
        s.shadowBlur = c.shadowBlur;
        s.shadowOffsetX = c.offX;
        s.shadowOffsetY = c.offY;
        if (c.shadow) {
            s.margin = static_cast<int>(std::ceil(c.shadowBlur + std::max(std::fabs(c.offX), std::fabs(c.offY))));
        }
        s.alpha = c.alpha;
        Picture picture(c.w + 2 * s.margin, c.h + 2 * s.margin);
        rasterizeRectangle(s, picture.rows());
        expectPlain(picture, c.label, [&](int i, int j) { return plainRectanglePixel(s, i, j); });
    }
}

TEST(ShapeRasterShortcuts, TrianglesMatchThePlainRule) {
    struct Case {
        int w, h;
        const char* direction;
        const char* type;
        double tip, border;
    };
    const Case cases[] = {
        {90, 70, "up", "isosceles", 0.3, 0},      {91, 67, "down", "equilateral", 0, 4.5},
        {64, 100, "left", "right-angled", 0, 9},  {120, 33, "right", "isosceles", 1, 2.25},
        {50, 50, "up", "isosceles", 0, 60},
    };
    for (const Case& c : cases) {
        TriangleRaster s;
        s.color = {200, 100, 50, 255};
        s.borderColor = {0, 60, 250, 255};
        s.borderWidth = c.border;
        s.fillAlpha = 180;
        s.borderAlpha = 255;
        placeTriangle(s, c.w, c.h, c.direction, c.type, c.tip);
        Picture picture(c.w, c.h);
        rasterizeTriangle(s, picture.rows());
        expectPlain(picture, std::string(c.direction) + " " + c.type,
                    [&](int i, int j) { return plainTrianglePixel(s, i, j); });
    }
}

TEST(ShapeRasterShortcuts, EllipsesMatchThePlainRule) {
    struct Case {
        std::string label;
        int w, h;
        EllipseMode mode;
        double start, end, ring, border, feather;
        ShapeGradient gradient;
    };
    const Case cases[] = {
        {"fill", 101, 64, EllipseMode::Fill, 0, 360, 10, 0, 0, ShapeGradient::None},
        {"fill border feather", 120, 80, EllipseMode::Fill, 0, 360, 10, 4, 3, ShapeGradient::Radial},
        {"ring", 110, 90, EllipseMode::Ring, 0, 360, 14, 2, 1.5, ShapeGradient::Linear},
        {"thin ring", 140, 70, EllipseMode::Ring, 0, 360, 3, 0, 0, ShapeGradient::None},
        {"pie quarter", 100, 100, EllipseMode::Pie, 0, 90, 10, 3, 0, ShapeGradient::None},
        {"pie three quarters", 120, 90, EllipseMode::Pie, 90, 0, 10, 0, 2, ShapeGradient::Radial},
        {"pie half", 90, 90, EllipseMode::Pie, -45, 135, 10, 2, 0, ShapeGradient::Linear},
        {"pie full turn", 80, 60, EllipseMode::Pie, 30, 400, 10, 2, 0, ShapeGradient::None},
        {"arc", 130, 100, EllipseMode::Arc, 200, 20, 18, 3, 2, ShapeGradient::None},
        {"arc thick", 90, 60, EllipseMode::Arc, 10, 300, 50, 0, 0, ShapeGradient::Radial},
        {"empty pie", 50, 40, EllipseMode::Pie, 45, 45, 10, 0, 0, ShapeGradient::None},
    };
    for (const Case& c : cases) {
        EllipseRaster s;
        s.mode = c.mode;
        s.color = {220, 30, 80, 255};
        s.borderColor = {20, 20, 240, 255};
        s.borderWidth = c.border;
        s.ringWidth = c.ring;
        s.startAngle = c.start;
        s.endAngle = c.end;
        s.gradient = c.gradient;
        s.gradientColor = {250, 250, 0, 200};
        s.gradientAngle = -60;
        s.feather = c.feather;
        s.fillAlpha = 230;
        s.borderAlpha = 255;
        s.gradientAlpha = 200;
        Picture picture(c.w, c.h);
        rasterizeEllipse(s, picture.rows());
        expectPlain(picture, c.label, [&](int i, int j) { return plainEllipsePixel(s, c.w, c.h, i, j); });
    }
}

TEST(ShapeRasterShortcuts, StarsMatchThePlainRule) {
    struct Case {
        int w, h, points;
        double height;
        std::vector<float> lengths;
    };
    const Case cases[] = {
        {100, 100, 5, 0.5, {}},
        {160, 80, 3, 0.9, {}},
        {96, 96, 4, 0.25, {1, 0.5, 1, 0.5}},
        {128, 128, 128, 0.1, {}},
        {75, 110, 7, 0.6, {0.3f, 1, 0.8f, 0.55f, 1, 0.2f, 0.9f}},
    };
    for (const Case& c : cases) {
        const std::vector<double> outline = starOutline(c.points, c.height, c.lengths);
        StarRaster s;
        s.outline = &outline;
        s.color = {250, 200, 20, 255};
        s.alpha = 201;
        Picture picture(c.w, c.h);
        rasterizeStar(s, picture.rows());
        expectPlain(picture, std::to_string(c.points) + " points",
                    [&](int i, int j) { return plainStarPixel(s, c.w, c.h, i, j); });
    }
}

}  // namespace
}  // namespace lumetta
