#include "objects/shape_raster.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <numbers>
#include <stdexcept>
#include <string>

#include "objects/row_bands.h"

namespace lumetta {

namespace {

constexpr double kPi = std::numbers::pi;
// Sample offsets inside a pixel: a 4 x 4 grid.
constexpr double kSampleOffset[4] = {0.125, 0.375, 0.625, 0.875};

std::uint32_t* rowPointer(const PixelRows& out, int row) {
    return reinterpret_cast<std::uint32_t*>(static_cast<unsigned char*>(out.pixels) + row * out.pitch);
}

void storePixel(std::uint32_t* row, int column, std::uint32_t value) {
    std::memcpy(row + column, &value, sizeof value);
}

std::uint8_t clampToByte(long value) {
    return static_cast<std::uint8_t>(std::clamp(value, 0L, 255L));
}

// Length of (x, y) for two non-negative parts. With one part zero the result is the other
// part exactly, as hypot gives it, so the common case needs no hypot call.
inline double cornerLength(double x, double y) {
    return (x > 0 && y > 0) ? std::hypot(x, y) : x + y;
}

// Signed distance of (px, py) to a box of half sizes (hw, hh) centred on the origin whose
// corners are rounded with radii[quadrant] (top-left, top-right, bottom-right, bottom-left).
inline double roundedBoxDistance(double px, double py, double hw, double hh, const double* radii) {
    const double r = py < 0 ? (px < 0 ? radii[0] : radii[1]) : (px < 0 ? radii[3] : radii[2]);
    const double qx = std::fabs(px) - hw + r;
    const double qy = std::fabs(py) - hh + r;
    return cornerLength(std::max(qx, 0.0), std::max(qy, 0.0)) + std::min(std::max(qx, qy), 0.0) - r;
}

// Reduces degrees into [0, 360).
inline double reduceDegrees(double degrees) {
    double reduced = std::fmod(degrees, 360.0);
    if (reduced < 0) {
        reduced += 360.0;
    }
    return reduced;
}

struct Sums {
    double r = 0, g = 0, b = 0, a = 0;
};

}  // namespace

std::uint8_t shapeOpacityToAlpha(unsigned base, float opacity, std::string_view shapeWord) {
    if (!std::isfinite(opacity)) {
        throw std::invalid_argument(std::string(shapeWord) + " opacity must be finite");
    }
    float fraction;
    if (opacity <= 1.0f) {
        fraction = opacity < 0.0f ? 0.0f : opacity;
    } else if (opacity <= 255.0f) {
        fraction = opacity / 255.0f;
    } else {
        fraction = 1.0f;
    }
    return static_cast<std::uint8_t>(std::lroundf(static_cast<float>(base) * fraction) & 0xFF);
}

// ---------------------------------------------------------------------------------------
// Rectangle

namespace {

// The per-sample colour of a rectangle and its shadow. `Deep` samples are known to lie in
// the fill at full edge coverage, `InShadow` samples fully inside the shadow; for them the
// distance work is skipped, the arithmetic that remains is exactly that of the full path.
class RectangleSampler {
public:
    explicit RectangleSampler(const RectangleRaster& shape)
        : hw(shape.width / 2.0),
          hh(shape.height / 2.0),
          offX(shape.shadowOffsetX),
          offY(shape.shadowOffsetY),
          fill(shape.color),
          end(shape.gradientColor),
          shadowColor(shape.shadowColor),
          gradient(shape.gradient),
          blur(shape.blur),
          borderWidth(shape.borderWidth),
          shadow(shape.shadow),
          shadowBlur(shape.shadowBlur),
          twoShadowBlur(2 * shape.shadowBlur),
          shadowOpacity(shape.shadowOpacity) {
        for (int i = 0; i < 4; ++i) {
            radii[i] = std::min(shape.radii[i], std::min(hw, hh));
        }
        const double theta = std::fmod(shape.gradientAngle, 360.0) * kPi / 180.0;
        gc = std::cos(theta);
        gs = std::sin(theta);
        extent = std::fabs(gs) * hh + std::fabs(gc) * hw;
        const SDL_Color border = shape.borderColor;
        borderR = border.r * static_cast<double>(border.a) / 255.0;
        borderG = border.g * static_cast<double>(border.a) / 255.0;
        borderB = border.b * static_cast<double>(border.a) / 255.0;
        borderA = border.a / 255.0;
    }

    double largestRadius() const { return std::max({radii[0], radii[1], radii[2], radii[3]}); }

    template <bool Deep, bool InShadow>
    void add(double px, double py, Sums& sums) const {
        double r = 0, g = 0, b = 0, alpha = 0;
        double depth = 0;
        bool inside = Deep;
        if constexpr (!Deep) {
            const double d = roundedBoxDistance(px, py, hw, hh, radii);
            inside = d <= 0;
            depth = -d;
        }
        if (inside) {
            double v = 1;
            bool inBorder = false;
            if constexpr (!Deep) {
                v = blur > 0 ? std::min(depth / blur, 1.0) : 1.0;
                inBorder = depth < borderWidth;
            }
            if (inBorder) {
                r = borderR * v;
                g = borderG * v;
                b = borderB * v;
                alpha = borderA * v;
            } else {
                double t = 0;
                if (gradient == ShapeGradient::Linear) {
                    t = std::clamp(0.5 + (gc * px + gs * py) / (2 * extent), 0.0, 1.0);
                } else if (gradient == ShapeGradient::Radial) {
                    t = std::min(1.0, std::hypot(px / hw, py / hh));
                }
                const double wa = fill.a * (1 - t) / 255;
                const double wb = end.a * t / 255;
                r = (fill.r * wa + end.r * wb) * v;
                g = (fill.g * wa + end.g * wb) * v;
                b = (fill.b * wa + end.b * wb) * v;
                alpha = (wa + wb) * v;
            }
        }
        if (shadow) {
            double u = 1;
            if constexpr (!InShadow) {
                const double dS = roundedBoxDistance(px - offX, py - offY, hw, hh, radii);
                if (shadowBlur > 0) {
                    u = std::clamp(0.5 - dS / twoShadowBlur, 0.0, 1.0);
                    u = u * u * (3 - 2 * u);
                } else {
                    u = dS <= 0 ? 1.0 : 0.0;
                }
            }
            const double sa = shadowOpacity * u * shadowColor.a / 255 * (1 - alpha);
            r += shadowColor.r * sa;
            g += shadowColor.g * sa;
            b += shadowColor.b * sa;
            alpha += sa;
        }
        sums.r += r;
        sums.g += g;
        sums.b += b;
        sums.a += alpha;
    }

    // The shape alpha of a deep sample without a gradient.
    double deepAlpha() const { return fill.a * (1 - 0.0) / 255 * 1.0; }

    // The 16 samples of a deep pixel of a linear gradient that is fully in its shadow or has
    // none: add<true, true> for each, written as plain loops over one row of four samples so
    // that the compiler can work on several at once. The sums are still taken in order.
    void addDeepLinear(const double* px, const double* py, Sums& sums) const {
        const double shadowShare = shadow ? shadowOpacity * 1.0 * shadowColor.a / 255 : 0.0;
        for (int b = 0; b < 4; ++b) {
            double r[4], g[4], bl[4], alpha[4];
            for (int a = 0; a < 4; ++a) {
                const double t = std::min(std::max(0.5 + (gc * px[a] + gs * py[b]) / (2 * extent), 0.0), 1.0);
                const double wa = fill.a * (1 - t) / 255;
                const double wb = end.a * t / 255;
                r[a] = (fill.r * wa + end.r * wb) * 1.0;
                g[a] = (fill.g * wa + end.g * wb) * 1.0;
                bl[a] = (fill.b * wa + end.b * wb) * 1.0;
                alpha[a] = (wa + wb) * 1.0;
            }
            if (shadow) {
                for (int a = 0; a < 4; ++a) {
                    const double sa = shadowShare * (1 - alpha[a]);
                    r[a] += shadowColor.r * sa;
                    g[a] += shadowColor.g * sa;
                    bl[a] += shadowColor.b * sa;
                    alpha[a] += sa;
                }
            }
            for (int a = 0; a < 4; ++a) {
                sums.r += r[a];
                sums.g += g[a];
                sums.b += bl[a];
                sums.a += alpha[a];
            }
        }
    }

    const double hw, hh;
    const double offX, offY;

private:
    double radii[4];
    double gc = 1, gs = 0, extent = 1;
    double borderR = 0, borderG = 0, borderB = 0, borderA = 0;
    const SDL_Color fill, end, shadowColor;
    const ShapeGradient gradient;
    const double blur, borderWidth;
    const bool shadow;
    const double shadowBlur, twoShadowBlur, shadowOpacity;
};

std::uint32_t resolveRectanglePixel(const Sums& sums, double k) {
    const double sumR = sums.r * k;
    const double sumG = sums.g * k;
    const double sumB = sums.b * k;
    const double sumA = sums.a * k;
    const std::uint8_t alpha = clampToByte(std::lround(sumA * 255 * 0.0625));
    if (!(sumA > 0)) {
        return 0;
    }
    return packAbgr8888(clampToByte(std::lround(sumR / sumA)), clampToByte(std::lround(sumG / sumA)),
                        clampToByte(std::lround(sumB / sumA)), alpha);
}

template <bool Deep, bool InShadow>
std::uint32_t rectanglePixel(const RectangleSampler& sampler, const double* px, const double* py, double k) {
    Sums sums;
    for (int b = 0; b < 4; ++b) {
        for (int a = 0; a < 4; ++a) {
            sampler.add<Deep, InShadow>(px[a], py[b], sums);
        }
    }
    return resolveRectanglePixel(sums, k);
}

// Whether all four sample positions lie within `limit` of 0 (false for a negative limit).
bool allWithin(const double* positions, double shift, double limit) {
    for (int a = 0; a < 4; ++a) {
        if (!(std::fabs(positions[a] - shift) <= limit)) {
            return false;
        }
    }
    return true;
}

}  // namespace

void rasterizeRectangle(const RectangleRaster& shape, const PixelRows& out) {
    const RectangleSampler sampler(shape);
    const double m = shape.margin;
    const double k = shape.alpha / 255.0;

    // A sample more than a pixel deeper than every radius, the border and the blur is in
    // the fill at full coverage; one that deep inside the moved box is fully in the shadow.
    const double deepLimitX = sampler.hw - (std::max({sampler.largestRadius(), shape.borderWidth, shape.blur}) + 1);
    const double deepLimitY = sampler.hh - (std::max({sampler.largestRadius(), shape.borderWidth, shape.blur}) + 1);
    const double shadowLimitX = sampler.hw - (sampler.largestRadius() + shape.shadowBlur + 1);
    const double shadowLimitY = sampler.hh - (sampler.largestRadius() + shape.shadowBlur + 1);

    // Sample positions relative to the box centre, and what each column is known to be.
    std::vector<double> xs(static_cast<std::size_t>(out.width) * 4);
    std::vector<unsigned char> deepColumn(static_cast<std::size_t>(out.width));
    std::vector<unsigned char> shadowColumn(static_cast<std::size_t>(out.width));
    for (int i = 0; i < out.width; ++i) {
        double* px = &xs[static_cast<std::size_t>(i) * 4];
        for (int a = 0; a < 4; ++a) {
            px[a] = i + kSampleOffset[a] - m - sampler.hw;
        }
        deepColumn[i] = allWithin(px, 0, deepLimitX);
        shadowColumn[i] = shape.shadow && allWithin(px, sampler.offX, shadowLimitX);
    }

    // Without a gradient a deep pixel is one colour, unless a shadow that is not uniform there
    // shows through a translucent fill.
    const bool uniformFill = shape.gradient == ShapeGradient::None;
    const bool opaqueFill = sampler.deepAlpha() == 1.0;
    const bool linearFill = shape.gradient == ShapeGradient::Linear;
    const double origin[4] = {0, 0, 0, 0};
    const std::uint32_t deepPixel = rectanglePixel<true, true>(sampler, origin, origin, k);

    runRowBands(out.height, static_cast<std::int64_t>(out.width) * 16, [&](int firstRow, int endRow) {
        for (int j = firstRow; j < endRow; ++j) {
            double ys[4];
            for (int b = 0; b < 4; ++b) {
                ys[b] = j + kSampleOffset[b] - m - sampler.hh;
            }
            const bool deepRow = allWithin(ys, 0, deepLimitY);
            const bool shadowRow = shape.shadow && allWithin(ys, sampler.offY, shadowLimitY);
            std::uint32_t* row = rowPointer(out, j);
            for (int i = 0; i < out.width; ++i) {
                const double* px = &xs[static_cast<std::size_t>(i) * 4];
                const bool inShadow = shadowRow && shadowColumn[i];
                std::uint32_t value;
                if (deepRow && deepColumn[i]) {
                    if (uniformFill && (!shape.shadow || opaqueFill || inShadow)) {
                        value = deepPixel;
                    } else if (linearFill && (!shape.shadow || inShadow)) {
                        Sums sums;
                        sampler.addDeepLinear(px, ys, sums);
                        value = resolveRectanglePixel(sums, k);
                    } else if (inShadow) {
                        value = rectanglePixel<true, true>(sampler, px, ys, k);
                    } else {
                        value = rectanglePixel<true, false>(sampler, px, ys, k);
                    }
                } else if (inShadow) {
                    value = rectanglePixel<false, true>(sampler, px, ys, k);
                } else {
                    value = rectanglePixel<false, false>(sampler, px, ys, k);
                }
                storePixel(row, i, value);
            }
        }
    });
}

// ---------------------------------------------------------------------------------------
// Triangle

void placeTriangle(TriangleRaster& shape, int width, int height, TriangleDirection direction, TriangleType type,
                   double tipPosition) {
    const bool vertical = direction == TriangleDirection::Up || direction == TriangleDirection::Down;
    const double roomBase = vertical ? width : height;
    const double roomHeight = vertical ? height : width;
    double base = roomBase;
    double tall = roomHeight;
    double tip = tipPosition;
    if (type == TriangleType::RightAngled) {
        tip = 0;
    } else if (type == TriangleType::Equilateral) {
        base = std::min(roomBase, 2 * roomHeight / std::sqrt(3.0));
        tall = base * std::sqrt(3.0) / 2;
        tip = 0.5;
    }
    const double ob = (roomBase - base) / 2;
    const double oh = (roomHeight - tall) / 2;
    // Tip, base end, base start in the frame where the tip points up.
    const double u[3] = {ob + tip * base, ob + base, ob};
    const double v[3] = {oh, oh + tall, oh + tall};
    const double w = width;
    const double h = height;
    for (int i = 0; i < 3; ++i) {
        if (direction == TriangleDirection::Up) {
            shape.x[i] = u[i];
            shape.y[i] = v[i];
        } else if (direction == TriangleDirection::Down) {
            shape.x[i] = w - u[i];
            shape.y[i] = h - v[i];
        } else if (direction == TriangleDirection::Left) {
            shape.x[i] = v[i];
            shape.y[i] = h - u[i];
        } else {
            shape.x[i] = w - v[i];
            shape.y[i] = u[i];
        }
    }
}

void rasterizeTriangle(const TriangleRaster& shape, const PixelRows& out) {
    double x0[3], y0[3], dx[3], dy[3], length[3];
    for (int e = 0; e < 3; ++e) {
        const int n = (e + 1) % 3;
        x0[e] = shape.x[e];
        y0[e] = shape.y[e];
        dx[e] = shape.x[n] - shape.x[e];
        dy[e] = shape.y[n] - shape.y[e];
        length[e] = std::hypot(dx[e], dy[e]);
    }
    const double borderWidth = shape.borderWidth;
    const unsigned fillAlpha = shape.fillAlpha;
    const unsigned borderAlpha = shape.borderAlpha;
    const SDL_Color fill = shape.color;
    const SDL_Color border = shape.borderColor;

    auto nearestEdge = [&](double sx, double sy) {
        double nearest = 0;
        for (int e = 0; e < 3; ++e) {
            const double distance = ((sy - y0[e]) * dx[e] - (sx - x0[e]) * dy[e]) / length[e];
            nearest = e == 0 ? distance : std::min(nearest, distance);
        }
        return nearest;
    };
    // Every sample of a pixel lies within 0.375 * sqrt(2) of its centre, and the distance to
    // the nearest edge changes no faster than the position: a pixel whose centre is this much
    // clear of 0 and of the border width has all 16 samples on the same side of both.
    constexpr double reach = 0.54;

    runRowBands(out.height, static_cast<std::int64_t>(out.width) * 16, [&](int firstRow, int endRow) {
        for (int j = firstRow; j < endRow; ++j) {
            std::uint32_t* row = rowPointer(out, j);
            for (int i = 0; i < out.width; ++i) {
                unsigned fillCount = 0;
                unsigned borderCount = 0;
                const double centre = nearestEdge(i + 0.5, j + 0.5);
                if (centre + reach < 0) {
                    storePixel(row, i, 0);
                    continue;
                }
                if (centre - reach > borderWidth) {
                    fillCount = 16;
                } else if (centre - reach > 0 && centre + reach < borderWidth) {
                    borderCount = 16;
                } else {
                    for (int b = 0; b < 4; ++b) {
                        const double sy = j + kSampleOffset[b];
                        for (int a = 0; a < 4; ++a) {
                            const double nearest = nearestEdge(i + kSampleOffset[a], sy);
                            if (nearest < 0) {
                                continue;
                            }
                            if (nearest < borderWidth) {
                                ++borderCount;
                            } else {
                                ++fillCount;
                            }
                        }
                    }
                }
                const unsigned wF = fillCount * fillAlpha;
                const unsigned wB = borderCount * borderAlpha;
                const unsigned total = wF + wB;
                std::uint32_t value = 0;
                if (total > 0) {
                    auto channel = [&](unsigned f, unsigned bo) {
                        return static_cast<std::uint8_t>((wF * f + wB * bo + total / 2) / total);
                    };
                    value = packAbgr8888(channel(fill.r, border.r), channel(fill.g, border.g),
                                         channel(fill.b, border.b), static_cast<std::uint8_t>((total + 8) / 16));
                }
                storePixel(row, i, value);
            }
        }
    });
}

// ---------------------------------------------------------------------------------------
// Ellipse

namespace {

// One straight edge of a sector: the ray from the centre to the ellipse at angle b.
struct SectorRay {
    double cosine = 1, sine = 0;
    double low = 0, high = 0;  // the part of the ray the edge covers

    double distance(double px, double py) const {
        const double projection = std::clamp(px * cosine + py * -sine, low, high);
        return std::hypot(px - cosine * projection, py - -sine * projection);
    }
    // Distance of a point to the whole line through the ray (never more than distance()).
    double lineDistance(double px, double py) const { return std::fabs(px * sine + py * cosine); }
};

SectorRay sectorRay(double degrees, double hw, double hh, bool arc, double ringWidth) {
    SectorRay ray;
    const double b = degrees * kPi / 180.0;
    ray.cosine = std::cos(b);
    ray.sine = std::sin(b);
    ray.high = 1 / std::hypot(ray.cosine / hw, ray.sine / hh);
    ray.low = 0;
    if (arc && ray.high - ringWidth > 0) {
        ray.low = ray.high - ringWidth;
    }
    return ray;
}

// The per-sample colour of an ellipse. With `CheckSector` false the sample is known to be
// inside the sector and far enough from its straight edges that they change nothing; with
// `Deep` it is also known to be deeper than the border and the feather on every side, so
// only its fill colour is worked out, by the same arithmetic as the full path.
class EllipseSampler {
public:
    EllipseSampler(const EllipseRaster& shape, int width, int height)
        : hw(width / 2.0),
          hh(height / 2.0),
          hollow(shape.mode == EllipseMode::Ring || shape.mode == EllipseMode::Arc),
          sector(shape.mode == EllipseMode::Arc || shape.mode == EllipseMode::Pie),
          ringWidth(shape.ringWidth),
          borderWidth(shape.borderWidth),
          feather(shape.feather),
          fillAlpha(shape.fillAlpha),
          borderAlpha(shape.borderAlpha),
          gradientAlpha(shape.gradientAlpha),
          fill(shape.color),
          end(shape.gradientColor),
          border(shape.borderColor),
          gradient(shape.gradient) {
        a0 = reduceDegrees(shape.startAngle);
        if (std::fabs(shape.endAngle - shape.startAngle) >= 360) {
            sweep = 360;
        } else {
            sweep = reduceDegrees(shape.endAngle - shape.startAngle);
        }
        const double theta = reduceDegrees(shape.gradientAngle) * kPi / 180.0;
        gc = std::cos(theta);
        gs = std::sin(theta);
        extent = std::hypot(hw * gc, hh * gs);
        const bool arc = shape.mode == EllipseMode::Arc;
        startRay = sectorRay(a0, hw, hh, arc, ringWidth);
        endRay = sectorRay(a0 + sweep, hw, hh, arc, ringWidth);
        centreRadius = std::min(hw, hh);
    }

    bool empty() const { return sector && sweep == 0; }

    // Whether a point lies inside the sector (true without one).
    bool inSector(double px, double py) const {
        const double angle = reduceDegrees(std::atan2(-py, px) * 180.0 / kPi);
        return reduceDegrees(angle - a0) <= sweep;
    }

    template <bool CheckSector, bool Deep>
    void add(double px, double py, Sums& sums) const {
        double rho = 0;
        double v = 1;
        if constexpr (Deep) {
            if (gradient == ShapeGradient::Radial) {
                rho = std::hypot(px / hw, py / hh);
            }
        } else {
            rho = std::hypot(px / hw, py / hh);
            if (rho > 1) {
                return;
            }
            const double r = std::hypot(px, py);
            const double re = rho > 0 ? r / rho : centreRadius;
            double depth = re - r;
            if (hollow) {
                const double inner = re - ringWidth;
                if (inner > 0) {
                    if (r < inner) {
                        return;
                    }
                    depth = std::min(depth, r - inner);
                }
            }
            if (CheckSector && sector) {
                if (!inSector(px, py)) {
                    return;
                }
                depth = std::min({depth, startRay.distance(px, py), endRay.distance(px, py)});
            }
            if (feather > 0) {
                v = std::max(0.0, std::min(depth / feather, 1.0));
            }
            if (depth < borderWidth) {
                sums.r += border.r * borderAlpha * v;
                sums.g += border.g * borderAlpha * v;
                sums.b += border.b * borderAlpha * v;
                sums.a += borderAlpha * v;
                return;
            }
        }
        double t = 0;
        if (gradient == ShapeGradient::Linear) {
            t = std::clamp(0.5 + (gc * px + gs * py) / (2 * extent), 0.0, 1.0);
        } else if (gradient == ShapeGradient::Radial) {
            t = rho;
        }
        const double wa = fillAlpha * (1 - t);
        const double wb = gradientAlpha * t;
        sums.r += (fill.r * wa + end.r * wb) * v;
        sums.g += (fill.g * wa + end.g * wb) * v;
        sums.b += (fill.b * wa + end.b * wb) * v;
        sums.a += (wa + wb) * v;
    }

    const double hw, hh;
    const bool hollow, sector;
    const double ringWidth, borderWidth, feather;
    SectorRay startRay, endRay;

private:
    const double fillAlpha, borderAlpha, gradientAlpha;
    const SDL_Color fill, end, border;
    const ShapeGradient gradient;
    double a0 = 0, sweep = 0;
    double gc = 1, gs = 0, extent = 1;
    double centreRadius = 0;
};

std::uint32_t resolveEllipsePixel(const Sums& sums) {
    if (!(sums.a > 0)) {
        return 0;
    }
    return packAbgr8888(clampToByte(std::lround(sums.r / sums.a)), clampToByte(std::lround(sums.g / sums.a)),
                        clampToByte(std::lround(sums.b / sums.a)), clampToByte(std::lround(sums.a * 0.0625)));
}

template <bool CheckSector, bool Deep>
std::uint32_t ellipsePixel(const EllipseSampler& sampler, double column, const double* ys) {
    Sums sums;
    for (int b = 0; b < 4; ++b) {
        for (int a = 0; a < 4; ++a) {
            sampler.add<CheckSector, Deep>(column + kSampleOffset[a] - sampler.hw, ys[b], sums);
        }
    }
    return resolveEllipsePixel(sums);
}

}  // namespace

void rasterizeEllipse(const EllipseRaster& shape, const PixelRows& out) {
    const EllipseSampler sampler(shape, out.width, out.height);
    const double hw = sampler.hw;
    const double hh = sampler.hh;
    // Samples lie within 0.375 pixels of their pixel's centre; with one pixel to spare,
    // `reach` covers every sample of a pixel and the rounding of the tests below.
    constexpr double reach = 1.5;
    // Deeper than this below the outline, the border and the feather change nothing.
    const double deep = std::max<double>(sampler.borderWidth, sampler.feather);
    // The inner ellipse with both half axes shortened by `deep + reach` lies at least that
    // far inside the outline along every ray from the centre.
    const double innerW = hw - deep - reach;
    const double innerH = hh - deep - reach;
    // In a ring, a sample this far out (as a fraction of the radius) is deeper than `deep`
    // from the hole's edge: the depth to the outline is at most the larger half axis times
    // (1 - rho), and rho changes by at most 1 / smaller half axis per pixel.
    const double ringLimit = 1 - (sampler.ringWidth - deep - reach) / std::max(hw, hh) + reach / std::min(hw, hh);
    const bool canBeDeep = innerW > 0 && innerH > 0 && (!sampler.hollow || ringLimit < 1);
    const double lineClearance = deep + reach;
    const double origin[4] = {0, 0, 0, 0};
    const std::uint32_t uniformDeepPixel = ellipsePixel<false, true>(sampler, hw, origin);
    const bool uniform = shape.gradient == ShapeGradient::None;

    runRowBands(out.height, static_cast<std::int64_t>(out.width) * 16, [&](int firstRow, int endRow) {
        for (int j = firstRow; j < endRow; ++j) {
            std::uint32_t* row = rowPointer(out, j);
            if (sampler.empty()) {
                std::memset(row, 0, static_cast<std::size_t>(out.width) * 4);
                continue;
            }
            double ys[4];
            for (int b = 0; b < 4; ++b) {
                ys[b] = j + kSampleOffset[b] - hh;
            }
            const double cy = j + 0.5 - hh;
            for (int i = 0; i < out.width; ++i) {
                const double cx = i + 0.5 - hw;
                bool checkSector = sampler.sector;
                if (checkSector && sampler.startRay.lineDistance(cx, cy) > lineClearance &&
                    sampler.endRay.lineDistance(cx, cy) > lineClearance) {
                    // Every sample of this pixel is on the same side of both edges as its centre.
                    if (!sampler.inSector(cx, cy)) {
                        storePixel(row, i, 0);
                        continue;
                    }
                    checkSector = false;
                }
                bool isDeep = false;
                if (!checkSector && canBeDeep) {
                    const double ex = (std::fabs(cx) + reach) / innerW;
                    const double ey = (std::fabs(cy) + reach) / innerH;
                    isDeep = ex * ex + ey * ey <= 1 - 1e-9;
                    if (isDeep && sampler.hollow) {
                        isDeep = std::hypot(cx / hw, cy / hh) >= ringLimit;
                    }
                }
                std::uint32_t value;
                if (isDeep) {
                    value = uniform ? uniformDeepPixel : ellipsePixel<false, true>(sampler, i, ys);
                } else if (checkSector) {
                    value = ellipsePixel<true, false>(sampler, i, ys);
                } else {
                    value = ellipsePixel<false, false>(sampler, i, ys);
                }
                storePixel(row, i, value);
            }
        }
    });
}

// ---------------------------------------------------------------------------------------
// Star

std::vector<double> starOutline(int points, double pointHeight, const std::vector<float>& lengths) {
    std::vector<double> outline(static_cast<std::size_t>(points) * 2);
    auto length = [&](int i) { return lengths.empty() ? 1.0 : static_cast<double>(lengths[i % points]); };
    for (int i = 0; i < points; ++i) {
        outline[2 * i] = length(i);
        outline[2 * i + 1] = std::min(length(i), length(i + 1)) * (1 - pointHeight);
    }
    return outline;
}

namespace {

// Where one horizontal line of samples crosses the star's outline. A sample closer to a
// crossing than `reach` (or on a line through a corner) is decided by the polar test itself.
struct StarCrossing {
    double x = 0;
    double reach = 0;
};

constexpr double kStarMargin = 1e-9;  // far beyond the rounding of either test

}  // namespace

void rasterizeStar(const StarRaster& shape, const PixelRows& out) {
    const std::vector<double>& outline = *shape.outline;
    const int corners = static_cast<int>(outline.size());
    const double hw = out.width / 2.0;
    const double hh = out.height / 2.0;
    const double h = kPi / (corners / 2);
    const double sinH = std::sin(h);
    const SDL_Color color = shape.color;
    const unsigned alpha = shape.alpha;

    // The polar test: inside when no farther from the centre than the straight edge between
    // the two outline corners around the sample's direction.
    auto inside = [&](double nx, double ny) {
        double theta = std::atan2(ny, nx) + kPi / 2;
        if (theta < 0) {
            theta += 2 * kPi;
        }
        const int k = static_cast<int>(theta / h);
        const double phi = theta - k * h;
        const double ra = outline[k % corners];
        const double rb = outline[(k + 1) % corners];
        const double edge = ra * rb * sinH / (ra * std::sin(phi) + rb * std::sin(h - phi));
        return nx * nx + ny * ny <= edge * edge;
    };

    // The same outline as a polygon (angle 0 straight up, growing clockwise). The star is
    // star-shaped around its centre, so the polar test is "inside this polygon", which a
    // line of samples answers from its sorted crossings away from the edges.
    std::vector<double> cornerX(static_cast<std::size_t>(corners));
    std::vector<double> cornerY(static_cast<std::size_t>(corners));
    for (int c = 0; c < corners; ++c) {
        cornerX[c] = outline[c] * std::sin(c * h);
        cornerY[c] = -outline[c] * std::cos(c * h);
    }

    runRowBands(out.height, static_cast<std::int64_t>(out.width) * 16, [&](int firstRow, int endRow) {
        std::vector<StarCrossing> crossings[4];
        for (auto& list : crossings) {
            list.reserve(static_cast<std::size_t>(corners));
        }
        for (int j = firstRow; j < endRow; ++j) {
            std::uint32_t* row = rowPointer(out, j);
            double ny[4];
            bool exactRow[4];
            for (int b = 0; b < 4; ++b) {
                ny[b] = (j + kSampleOffset[b] - hh) / hh;
                std::vector<StarCrossing>& list = crossings[b];
                list.clear();
                exactRow[b] = false;
                for (int c = 0; c < corners; ++c) {
                    if (std::fabs(ny[b] - cornerY[c]) <= kStarMargin) {
                        exactRow[b] = true;
                    }
                    const int n = (c + 1) % corners;
                    const double y0 = cornerY[c], y1 = cornerY[n];
                    if ((y0 < ny[b]) == (y1 < ny[b])) {
                        continue;
                    }
                    const double dx = cornerX[n] - cornerX[c];
                    const double dy = y1 - y0;
                    const double x = cornerX[c] + (ny[b] - y0) * dx / dy;
                    // A sample |x - crossing| away is |x - crossing| * |dy| / length from the edge.
                    list.push_back({x, kStarMargin * std::hypot(dx, dy) / std::fabs(dy)});
                }
                std::sort(list.begin(), list.end(),
                          [](const StarCrossing& a, const StarCrossing& b) { return a.x < b.x; });
            }
            std::size_t next[4] = {0, 0, 0, 0};
            for (int i = 0; i < out.width; ++i) {
                unsigned count = 0;
                for (int b = 0; b < 4; ++b) {
                    const std::vector<StarCrossing>& list = crossings[b];
                    for (int a = 0; a < 4; ++a) {
                        const double nx = (i + kSampleOffset[a] - hw) / hw;
                        std::size_t& k = next[b];
                        while (k < list.size() && list[k].x < nx) {
                            ++k;
                        }
                        const bool near = exactRow[b] || (k < list.size() && list[k].x - nx <= list[k].reach) ||
                                          (k > 0 && nx - list[k - 1].x <= list[k - 1].reach);
                        const bool in = near ? inside(nx, ny[b]) : (k % 2 == 1);
                        count += in ? 1 : 0;
                    }
                }
                storePixel(row, i,
                           packAbgr8888(color.r, color.g, color.b, static_cast<std::uint8_t>((alpha * count + 8) / 16)));
            }
        }
    });
}

}  // namespace lumetta
