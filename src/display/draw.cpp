#include "display/draw.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <numbers>

#include "display/slide_mapping.h"

namespace lumetta {

thread_local const LayerTransform* activeLayerTransform = nullptr;
thread_local const LayerCanvas* activeLayerCanvas = nullptr;
thread_local CanvasPlacement activeCanvasPlacement{};

ThreadDrawState& initThreadDrawState() {
    // Built on first use in each thread; its destructor runs when the thread ends.
    thread_local ThreadDrawState state;
    return state;
}

namespace {

class SdlDrawSubmitter final : public DrawSubmitter {
public:
    bool renderGeometry(SDL_Renderer* renderer, SDL_Texture* texture, const SDL_Vertex* vertices, int vertexCount,
                        const int* indices, int indexCount) override {
        return SDL_RenderGeometry(renderer, texture, vertices, vertexCount, indices, indexCount);
    }
    bool renderTextureRotated(SDL_Renderer* renderer, SDL_Texture* texture, const SDL_FRect* source,
                              const SDL_FRect* destination, double angle, const SDL_FPoint* center,
                              SDL_FlipMode flip) override {
        return SDL_RenderTextureRotated(renderer, texture, source, destination, angle, center, flip);
    }
};

}  // namespace

DrawSubmitter& sdlDrawSubmitter() {
    static SdlDrawSubmitter submitter;
    return submitter;
}

namespace {

constexpr double kTiny = 0.00001;
constexpr int kCirclePoints = 96;
constexpr double kMaxPeriodSteps = 512.0;
constexpr double kMaxCopies = 4096.0;
constexpr double kMaxPeriodIndex = 1e9;

double radians(double degrees) { return degrees * std::numbers::pi / 180.0; }

// A modulation value times a factor, kept inside 0..255 (an easing may overshoot 0..1, and a
// value wrapped round to its low byte would flash the layer). NaN gives 0.
Uint8 modulate(Uint8 value, double factor) {
    const double scaled = static_cast<double>(value) * factor;
    if (!(scaled > 0.0)) return 0;
    if (scaled >= 255.0) return 255;
    return static_cast<Uint8>(std::lround(scaled));
}

float unitClamp(double value) {
    if (!(value > 0.0)) return 0.0f;
    if (value >= 1.0) return 1.0f;
    return static_cast<float>(value);
}

struct ClipPoint {
    double x;
    double y;
};

SDL_Vertex lerp(const SDL_Vertex& a, const SDL_Vertex& b, double t) {
    auto mix = [t](float from, float to) { return static_cast<float>(from + (to - from) * t); };
    SDL_Vertex v;
    v.position = {mix(a.position.x, b.position.x), mix(a.position.y, b.position.y)};
    v.color = {mix(a.color.r, b.color.r), mix(a.color.g, b.color.g), mix(a.color.b, b.color.b),
               mix(a.color.a, b.color.a)};
    v.tex_coord = {mix(a.tex_coord.x, b.tex_coord.x), mix(a.tex_coord.y, b.tex_coord.y)};
    return v;
}

// Sutherland-Hodgman: clips the polygon against every edge of `clip` in turn; a vertex on the
// right-hand side of an edge (screen coordinates, y down) or on it is inside.
std::vector<SDL_Vertex> clipPolygon(std::vector<SDL_Vertex> polygon, const std::vector<ClipPoint>& clip) {
    std::vector<SDL_Vertex> out;
    for (std::size_t e = 0; e < clip.size() && !polygon.empty(); ++e) {
        const ClipPoint a = clip[e];
        const ClipPoint b = clip[(e + 1) % clip.size()];
        auto side = [&](const SDL_Vertex& v) {
            return (v.position.y - a.y) * (b.x - a.x) - (v.position.x - a.x) * (b.y - a.y);
        };
        out.clear();
        out.reserve(polygon.size() + 4);
        const SDL_Vertex* previous = &polygon.back();
        double previousSide = side(*previous);
        for (const SDL_Vertex& current : polygon) {
            const double currentSide = side(current);
            if ((previousSide >= 0.0) != (currentSide >= 0.0)) {
                out.push_back(lerp(*previous, current, previousSide / (previousSide - currentSide)));
            }
            if (currentSide >= 0.0) out.push_back(current);
            previous = &current;
            previousSide = currentSide;
        }
        polygon.swap(out);
    }
    return polygon;
}

std::vector<ClipPoint> revealPolygon(const LayerTransform& t) {
    const double px = t.pivotX;
    const double py = t.pivotY;
    const double p = t.reveal;
    std::vector<ClipPoint> points;
    if (t.revealKind == reveal::circle) {
        const double r = std::hypot(t.layerWidth, t.layerHeight) / 2.0 * p;
        points.reserve(kCirclePoints);
        for (int i = 0; i < kCirclePoints; ++i) {
            const double a = 2.0 * std::numbers::pi * i / kCirclePoints;
            points.push_back({px + r * std::cos(a), py + r * std::sin(a)});
        }
        return points;
    }
    const double q = (1.0 - p) / 2.0;
    double x0 = -0.5, x1 = 0.5, y0 = -0.5, y1 = 0.5;
    const bool vertical = t.direction == "up" || t.direction == "down";
    if (t.revealKind == reveal::split) {
        if (vertical) {
            y0 = q - 0.5;
            y1 = 0.5 - q;
        } else {
            x0 = q - 0.5;
            x1 = 0.5 - q;
        }
    } else if (t.direction == "up") {
        y1 = p - 0.5;
    } else if (t.direction == "down") {
        y0 = 0.5 - p;
    } else if (t.direction == "right") {
        x0 = 0.5 - p;
    } else {
        x1 = p - 0.5;
    }
    const double c = t.axisCos;
    const double s = t.axisSin;
    auto place = [&](double X, double Y) {
        return ClipPoint{px + X * t.layerWidth * c - Y * t.layerHeight * s,
                         py + X * t.layerWidth * s + Y * t.layerHeight * c};
    };
    return {place(x0, y0), place(x1, y0), place(x1, y1), place(x0, y1)};
}

void appendFan(std::size_t first, std::size_t count, std::vector<int>& indices) {
    for (std::size_t i = 2; i < count; ++i) {
        indices.push_back(static_cast<int>(first));
        indices.push_back(static_cast<int>(first + i - 1));
        indices.push_back(static_cast<int>(first + i));
    }
}

// The index range of the copies needed in one wrapping direction so that every part of the
// output is covered. False when the range cannot be worked out, is too wide, or lies so many
// periods away that the indices do not fit an int (float positions that far out have no
// precision left to shift anyway).
bool wrapRange(double minProjection, double maxProjection, double lo, double hi, double period, double& first,
               double& last) {
    first = std::floor((lo - maxProjection) / period);
    last = std::ceil((hi - minProjection) / period);
    return std::fabs(first) <= kMaxPeriodIndex && std::fabs(last) <= kMaxPeriodIndex &&
           last - first <= kMaxPeriodSteps;
}

bool submit(DrawSubmitter& submitter, SDL_Renderer* renderer, SDL_Texture* texture,
            const std::vector<SDL_Vertex>& vertices, const std::vector<int>& indices) {
    return submitter.renderGeometry(renderer, texture, vertices.data(), static_cast<int>(vertices.size()),
                                    indices.data(), static_cast<int>(indices.size()));
}

}  // namespace

SDL_FPoint transformLayerPoint(const LayerTransform& t, double x, double y) {
    const double c = t.axisCos;
    const double s = t.axisSin;
    const double dx = x - t.pivotX;
    const double dy = y - t.pivotY;
    const double along = (c * dx + s * dy) * t.scaleX;
    const double across = (c * dy - s * dx) * t.scaleY;
    const double u = (c * along - s * across) * t.scale;
    const double v = (c * across + s * along) * t.scale;
    const double theta = radians(t.rotation);
    const double cosT = std::cos(theta);
    const double sinT = std::sin(theta);
    return {static_cast<float>(t.pivotX + t.translationX + u * cosT - v * sinT),
            static_cast<float>(t.pivotY + t.translationY + u * sinT + v * cosT)};
}

bool renderTextureGeometry(SDL_Renderer* renderer, SDL_Texture* texture, std::vector<SDL_Vertex>& vertices,
                           const LayerTransform& t, const std::vector<int>* callerIndices, DrawSubmitter& submitter) {
    std::vector<int> indices;
    bool haveIndices = callerIndices != nullptr && !callerIndices->empty();
    if (haveIndices) indices = *callerIndices;

    const bool clips = t.revealKind != reveal::none && t.revealKind != reveal::typewriter && !(t.reveal >= 1.0);
    if (clips) {
        if (!(t.reveal > 0.0)) return true;
        const std::vector<ClipPoint> clip = revealPolygon(t);
        if (!haveIndices) {
            vertices = clipPolygon(std::move(vertices), clip);
        } else {
            // A triangle list is clipped triangle by triangle, so a mesh keeps its shape.
            std::vector<SDL_Vertex> clipped;
            std::vector<int> clippedIndices;
            for (std::size_t i = 0; i + 2 < indices.size(); i += 3) {
                std::vector<SDL_Vertex> triangle;
                for (std::size_t k = 0; k < 3; ++k) {
                    const int index = indices[i + k];
                    if (index < 0 || static_cast<std::size_t>(index) >= vertices.size()) break;
                    triangle.push_back(vertices[static_cast<std::size_t>(index)]);
                }
                if (triangle.size() != 3) continue;
                triangle = clipPolygon(std::move(triangle), clip);
                if (triangle.size() < 3) continue;
                appendFan(clipped.size(), triangle.size(), clippedIndices);
                clipped.insert(clipped.end(), triangle.begin(), triangle.end());
            }
            vertices.swap(clipped);
            indices.swap(clippedIndices);
            if (indices.empty()) return true;
        }
    }
    if (vertices.size() < 3) return true;

    if (!(std::fabs(t.scaleX) >= kTiny) || !(std::fabs(t.scaleY) >= kTiny)) return true;
    for (SDL_Vertex& v : vertices) v.position = transformLayerPoint(t, v.position.x, v.position.y);

    if (!haveIndices) {
        indices.clear();
        appendFan(0, vertices.size(), indices);
    }

    const LayerCanvas* canvas = activeLayerCanvas;
    if (canvas == nullptr) return submit(submitter, renderer, texture, vertices, indices);

    int outputWidth = 0;
    int outputHeight = 0;
    if (!SDL_GetCurrentRenderOutputSize(renderer, &outputWidth, &outputHeight)) return false;
    const ThreadDrawState& state = initThreadDrawState();
    if (!(state.scale >= kTiny) || !(std::fabs(state.scaleX) >= kTiny) || !(std::fabs(state.scaleY) >= kTiny)) {
        return true;
    }

    const double k = t.layerWidth / t.referenceWidth;
    if (!std::isfinite(k) || !(k > 0.0)) {
        return SDL_SetError("Layer canvas mapping needs a finite positive scale (layer width %g, reference width %g)",
                            t.layerWidth, t.referenceWidth);
    }
    const double periodX = canvas->width * state.scale * k * std::fabs(state.scaleX);
    const double periodY = canvas->height * state.scale * k * std::fabs(state.scaleY);
    if ((canvas->wrapX && !(std::isfinite(periodX) && periodX > 0.0)) ||
        (canvas->wrapY && !(std::isfinite(periodY) && periodY > 0.0))) {
        return SDL_SetError("Layer canvas wrap needs a finite positive period");
    }

    const double c = t.axisCos;
    const double s = t.axisSin;
    const double phi = radians(state.rotation);
    const double dirX = c * std::cos(phi) - s * std::sin(phi);
    const double dirY = c * std::sin(phi) + s * std::cos(phi);
    const CanvasPlacement placement = activeCanvasPlacement;
    const double A = (canvas->width - placement.offsetX) * k / 2.0;
    const double B = (canvas->height - placement.offsetY) * k / 2.0;
    const double mx = outputWidth / 2.0 + c * A - s * B;
    const double my = outputHeight / 2.0 + s * A + c * B;
    double cameraX = state.offsetX;
    double cameraY = state.offsetY;
    if (canvas->viewport) {
        cameraX -= placement.originX;
        cameraY -= placement.originY;
    }
    const double ox = k * cameraX;
    const double oy = k * cameraY;

    SDL_BlendMode blend = SDL_BLENDMODE_BLEND;
    if (texture != nullptr && !SDL_GetTextureBlendMode(texture, &blend)) blend = SDL_BLENDMODE_BLEND;
    const bool premultiplied = blend == SDL_BLENDMODE_BLEND_PREMULTIPLIED;

    for (SDL_Vertex& v : vertices) {
        const double rx = v.position.x - mx;
        const double ry = v.position.y - my;
        const double along = (c * rx + s * ry) * state.scale * state.scaleX;
        const double across = (c * ry - s * rx) * state.scale * state.scaleY;
        v.position.x = static_cast<float>(mx + dirX * along - dirY * across + c * ox - s * oy);
        v.position.y = static_cast<float>(my + dirY * along + dirX * across + s * ox + c * oy);
        if (premultiplied) {
            v.color.r = unitClamp(v.color.r * state.opacity);
            v.color.g = unitClamp(v.color.g * state.opacity);
            v.color.b = unitClamp(v.color.b * state.opacity);
        }
        v.color.a = unitClamp(v.color.a * state.opacity);
    }

    if (!canvas->wrapX && !canvas->wrapY) return submit(submitter, renderer, texture, vertices, indices);

    double firstX = 0.0, lastX = 0.0, firstY = 0.0, lastY = 0.0;
    auto range = [&](double ux, double uy, double period, double& first, double& last) {
        double lo = std::min(outputWidth * ux, 0.0) + std::min(outputHeight * uy, 0.0);
        double hi = std::max(outputWidth * ux, 0.0) + std::max(outputHeight * uy, 0.0);
        double minProjection = INFINITY;
        double maxProjection = -INFINITY;
        for (const SDL_Vertex& v : vertices) {
            const double projection = v.position.x * ux + v.position.y * uy;
            minProjection = std::min(minProjection, projection);
            maxProjection = std::max(maxProjection, projection);
        }
        return wrapRange(minProjection, maxProjection, lo, hi, period, first, last);
    };
    if (canvas->wrapX && !range(dirX, dirY, periodX, firstX, lastX)) {
        return SDL_SetError("Layer canvas wrap needs too many or too distant copies");
    }
    if (canvas->wrapY && !range(-dirY, dirX, periodY, firstY, lastY)) {
        return SDL_SetError("Layer canvas wrap needs too many or too distant copies");
    }
    if ((lastX - firstX + 1.0) * (lastY - firstY + 1.0) > kMaxCopies) {
        return SDL_SetError("Layer canvas wrap needs too many copies");
    }

    bool ok = true;
    std::vector<SDL_Vertex> copy(vertices.size());
    const int fromX = static_cast<int>(firstX), toX = static_cast<int>(lastX);
    const int fromY = static_cast<int>(firstY), toY = static_cast<int>(lastY);
    for (int iy = fromY; iy <= toY; ++iy) {
        for (int ix = fromX; ix <= toX; ++ix) {
            const double shiftX = dirX * ix * periodX - dirY * iy * periodY;
            const double shiftY = dirY * ix * periodX + dirX * iy * periodY;
            for (std::size_t i = 0; i < vertices.size(); ++i) {
                copy[i] = vertices[i];
                copy[i].position.x = static_cast<float>(vertices[i].position.x + shiftX);
                copy[i].position.y = static_cast<float>(vertices[i].position.y + shiftY);
            }
            if (!submit(submitter, renderer, texture, copy, indices)) ok = false;
        }
    }
    return ok;
}

bool drawTexture(SDL_Renderer* renderer, SDL_Texture* texture, const SDL_FRect* source,
                 const SDL_FRect* destination, double angle, const SDL_FPoint* center, SDL_FlipMode flip,
                 DrawSubmitter& submitter) {
    const LayerTransform* t = activeLayerTransform;
    if (destination == nullptr || t == nullptr) {
        return submitter.renderTextureRotated(renderer, texture, source, destination, angle, center, flip);
    }
    const SDL_FRect dst = *destination;
    const double cx = center != nullptr ? center->x : dst.w / 2.0;
    const double cy = center != nullptr ? center->y : dst.h / 2.0;

    // The direct path keeps the draw one rotated rectangle: the pivot of the draw goes through
    // the transform and the rectangle is scaled about it.
    const SDL_FPoint moved = transformLayerPoint(*t, dst.x + cx, dst.y + cy);
    const SDL_FRect movedRect{static_cast<float>(moved.x - cx * t->scale), static_cast<float>(moved.y - cy * t->scale),
                              static_cast<float>(dst.w * t->scale), static_cast<float>(dst.h * t->scale)};
    const SDL_FPoint movedCenter{static_cast<float>(cx * t->scale), static_cast<float>(cy * t->scale)};

    Uint8 savedAlpha = 255;
    Uint8 savedR = 255, savedG = 255, savedB = 255;
    SDL_BlendMode savedBlend = SDL_BLENDMODE_BLEND;
    if (!SDL_GetTextureAlphaMod(texture, &savedAlpha) || !SDL_GetTextureColorMod(texture, &savedR, &savedG, &savedB) ||
        !SDL_GetTextureBlendMode(texture, &savedBlend)) {
        return false;  // nothing was changed yet
    }

    bool changed = false;
    bool ok = true;
    const LayerCanvas* canvas = activeLayerCanvas;
    if (canvas != nullptr && initThreadDrawState().opacity != 1.0 && savedBlend == SDL_BLENDMODE_NONE) {
        changed = true;
        ok = SDL_SetTextureBlendMode(texture, SDL_BLENDMODE_BLEND);
    }
    if (ok && t->opacity != 1.0) {
        changed = true;
        ok = SDL_SetTextureAlphaMod(texture, modulate(savedAlpha, t->opacity));
        if (ok && savedBlend == SDL_BLENDMODE_NONE) {
            ok = SDL_SetTextureBlendMode(texture, SDL_BLENDMODE_BLEND);
        } else if (ok && savedBlend == SDL_BLENDMODE_BLEND_PREMULTIPLIED) {
            ok = SDL_SetTextureColorMod(texture, modulate(savedR, t->opacity), modulate(savedG, t->opacity),
                                        modulate(savedB, t->opacity));
        }
    }

    if (ok) {
        const bool noReveal = t->revealKind == reveal::none || t->revealKind == reveal::typewriter || t->reveal >= 1.0;
        if (canvas == nullptr && t->scaleX == 1.0 && t->scaleY == 1.0 && noReveal) {
            ok = submitter.renderTextureRotated(renderer, texture, source, &movedRect, angle + t->rotation,
                                                       &movedCenter, flip);
        } else {
            float textureWidth = 0.0f;
            float textureHeight = 0.0f;
            Uint8 r = 255, g = 255, b = 255, a = 255;
            ok = SDL_GetTextureSize(texture, &textureWidth, &textureHeight) &&
                 SDL_GetTextureColorMod(texture, &r, &g, &b) && SDL_GetTextureAlphaMod(texture, &a);
            if (ok) {
                const SDL_FRect src = source != nullptr ? *source : SDL_FRect{0.0f, 0.0f, textureWidth, textureHeight};
                const SDL_FColor color{r / 255.0f, g / 255.0f, b / 255.0f, a / 255.0f};
                const double theta = radians(angle);
                const double cosA = std::cos(theta);
                const double sinA = std::sin(theta);
                const bool flipX = (flip & SDL_FLIP_HORIZONTAL) != 0;
                const bool flipY = (flip & SDL_FLIP_VERTICAL) != 0;
                static constexpr float corners[4][2] = {{0, 0}, {1, 0}, {1, 1}, {0, 1}};
                std::vector<SDL_Vertex> vertices(4);
                for (int i = 0; i < 4; ++i) {
                    const double ux = corners[i][0];
                    const double uy = corners[i][1];
                    const double tu = flipX ? 1.0 - ux : ux;
                    const double tv = flipY ? 1.0 - uy : uy;
                    const double lx = ux * dst.w - cx;
                    const double ly = uy * dst.h - cy;
                    vertices[i].position = {static_cast<float>(dst.x + cx + cosA * lx - sinA * ly),
                                            static_cast<float>(dst.y + cy + sinA * lx + cosA * ly)};
                    vertices[i].color = color;
                    vertices[i].tex_coord = {static_cast<float>((src.x + src.w * tu) / textureWidth),
                                             static_cast<float>((src.y + src.h * tv) / textureHeight)};
                }
                ok = renderTextureGeometry(renderer, texture, vertices, *t, nullptr, submitter);
            }
        }
    }

    if (changed) {
        SDL_SetTextureAlphaMod(texture, savedAlpha);
        SDL_SetTextureColorMod(texture, savedR, savedG, savedB);
        SDL_SetTextureBlendMode(texture, savedBlend);
    }
    return ok;
}

void drawRotatedTexture(int rotation, int screenHeight, int screenWidth, SDL_Renderer* renderer,
                        SDL_Texture* texture, float x, float y, float w, float h, DrawSubmitter& submitter) {
    if (renderer == nullptr || texture == nullptr) return;
    const int turn = normalizedRotation(rotation);
    const double cx = x + w / 2.0, cy = y + h / 2.0;
    double sx = cx, sy = cy;
    switch (turn) {
        case 90: sx = cy, sy = screenHeight - cx; break;
        case 180: sx = screenWidth - cx, sy = screenHeight - cy; break;
        case 270: sx = screenWidth - cy, sy = cx; break;
        default: break;
    }
    const SDL_FRect destination{static_cast<float>(sx - w / 2.0), static_cast<float>(sy - h / 2.0), w, h};
    const SDL_FPoint centre{w / 2.0f, h / 2.0f};
    submitter.renderTextureRotated(renderer, texture, nullptr, &destination, -static_cast<double>(turn), &centre,
                                   SDL_FLIP_NONE);
}

}  // namespace lumetta
