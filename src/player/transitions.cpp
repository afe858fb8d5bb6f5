#include "player/transitions.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <numbers>
#include <string_view>

#include "display/slide_mapping.h"

namespace lumetta::player {

namespace {

// Start of part `index` when `length` pixels are cut into `count` parts by integer division:
// the parts tile the length exactly and differ by at most one pixel.
int partStart(int index, int count, int length) {
    return static_cast<int>(static_cast<std::int64_t>(index) * length / count);
}

int roundToInt(double value) { return static_cast<int>(std::lround(value)); }

// lround(fraction * 255) for a fraction kept inside [0, 1].
Uint8 alphaOf(double fraction) {
    if (!(fraction > 0.0)) return 0;
    if (fraction >= 1.0) return 255;
    return static_cast<Uint8>(std::lround(fraction * 255.0));
}

double smoothstep(double t) { return (3.0 - 2.0 * t) * t * t; }

// The fixed integer hash that gives tiles, bars and particles their irregular-looking values.
std::uint32_t hashIndex(std::uint32_t value) {
    std::uint32_t h = value * 0x7FEB352Du;
    h ^= h >> 15;
    h *= 0x846CA68Bu;
    h ^= h >> 16;
    return h;
}

double hashFraction(std::uint32_t h) { return static_cast<double>(h & 0xFFFFu) / 65535.0; }

// SDL's software renderer draws textured quads that are axis-aligned rectangles as plain copies
// and, to do so, sets the texture's colour and alpha modulation to the vertex colour without
// putting it back: after a particle frame the incoming picture would stay faded. The
// modulation is saved before every geometry call and set again after it.
class KeepModulation {
public:
    explicit KeepModulation(SDL_Texture* texture) : texture_(texture) {
        if (texture_ == nullptr) return;
        SDL_GetTextureColorMod(texture_, &r_, &g_, &b_);
        SDL_GetTextureAlphaMod(texture_, &a_);
    }
    ~KeepModulation() {
        if (texture_ == nullptr) return;
        SDL_SetTextureColorMod(texture_, r_, g_, b_);
        SDL_SetTextureAlphaMod(texture_, a_);
    }
    KeepModulation(const KeepModulation&) = delete;
    KeepModulation& operator=(const KeepModulation&) = delete;

private:
    SDL_Texture* texture_;
    Uint8 r_ = 255, g_ = 255, b_ = 255, a_ = 255;
};

// SDL's software rasteriser works out texture coordinates in 32-bit integers: once a
// triangle's doubled area in pixels times the texture's size passes about 2^29, the triangle is
// left out entirely (a whole-screen cube face at 1024 x 768 already is). On that renderer such
// triangles are cut at their edge midpoints until they are small enough; every fragment keeps the
// texture mapping of the triangle it came from, so the picture is the same, and it still goes to
// the renderer in one call.
constexpr double kSoftwareTriangleLimit = 134217728.0;  // 2^27: a quarter of the overflow point
constexpr int kSplitDepth = 4;                          // up to 256 fragments per triangle
constexpr int kSplitCapacity = 1536;                    // vertices

bool isSoftwareRenderer(SDL_Renderer* renderer) {
    const char* name = SDL_GetRendererName(renderer);
    return name != nullptr && std::string_view(name) == SDL_SOFTWARE_RENDERER;
}

double doubledArea(const SDL_Vertex& a, const SDL_Vertex& b, const SDL_Vertex& c) {
    return std::fabs(static_cast<double>(b.position.x - a.position.x) * (c.position.y - a.position.y) -
                     static_cast<double>(c.position.x - a.position.x) * (b.position.y - a.position.y));
}

SDL_Vertex midpoint(const SDL_Vertex& a, const SDL_Vertex& b) {
    const auto mid = [](float x, float y) { return x + (y - x) * 0.5f; };
    return {{mid(a.position.x, b.position.x), mid(a.position.y, b.position.y)},
            {mid(a.color.r, b.color.r), mid(a.color.g, b.color.g), mid(a.color.b, b.color.b),
             mid(a.color.a, b.color.a)},
            {mid(a.tex_coord.x, b.tex_coord.x), mid(a.tex_coord.y, b.tex_coord.y)}};
}

class TriangleSplitter {
public:
    explicit TriangleSplitter(double textureSize) : textureSize_(textureSize) {}

    bool tooLarge(const SDL_Vertex& a, const SDL_Vertex& b, const SDL_Vertex& c) const {
        return doubledArea(a, b, c) * textureSize_ > kSoftwareTriangleLimit;
    }
    // False when the fragments do not fit the buffer.
    bool split(const SDL_Vertex& a, const SDL_Vertex& b, const SDL_Vertex& c, int depth = 0) {
        if (depth == kSplitDepth || !tooLarge(a, b, c)) {
            if (count_ + 3 > kSplitCapacity) return false;
            out_[static_cast<std::size_t>(count_++)] = a;
            out_[static_cast<std::size_t>(count_++)] = b;
            out_[static_cast<std::size_t>(count_++)] = c;
            return true;
        }
        const SDL_Vertex ab = midpoint(a, b), bc = midpoint(b, c), ca = midpoint(c, a);
        return split(a, ab, ca, depth + 1) && split(ab, b, bc, depth + 1) && split(ca, bc, c, depth + 1) &&
               split(ab, bc, ca, depth + 1);
    }
    const SDL_Vertex* vertices() const { return out_.data(); }
    int count() const { return count_; }

private:
    double textureSize_;
    std::array<SDL_Vertex, kSplitCapacity> out_;
    int count_ = 0;
};

// One geometry call with an indexed triangle list, split first where the software rasteriser
// needs it; the texture's modulation is the same afterwards.
void submitGeometry(SDL_Renderer* renderer, SDL_Texture* texture, const SDL_Vertex* vertices, int vertexCount,
                    const int* indices, int indexCount, DrawSubmitter& submitter) {
    const KeepModulation keep(texture);
    if (texture != nullptr && isSoftwareRenderer(renderer)) {
        float textureWidth = 0, textureHeight = 0;
        SDL_GetTextureSize(texture, &textureWidth, &textureHeight);
        TriangleSplitter splitter(std::max(textureWidth, textureHeight));
        bool needed = false;
        for (int i = 0; i + 2 < indexCount && !needed; i += 3) {
            needed = splitter.tooLarge(vertices[indices[i]], vertices[indices[i + 1]], vertices[indices[i + 2]]);
        }
        if (needed) {
            bool fits = true;
            for (int i = 0; i + 2 < indexCount && fits; i += 3) {
                fits = splitter.split(vertices[indices[i]], vertices[indices[i + 1]], vertices[indices[i + 2]]);
            }
            if (fits) {
                // Every fragment gets indices of its own: SDL takes two listed triangles that share two
                // vertices for a rectangle and would misdraw a pair of fragments as one.
                static const auto sequence = [] {
                    std::array<int, kSplitCapacity> order{};
                    for (int i = 0; i < kSplitCapacity; ++i) order[static_cast<std::size_t>(i)] = i;
                    return order;
                }();
                submitter.renderGeometry(renderer, texture, splitter.vertices(), splitter.count(), sequence.data(),
                                     splitter.count());
                return;
            }
        }
    }
    submitter.renderGeometry(renderer, texture, vertices, vertexCount, indices, indexCount);
}

// One frame's drawing: the renderer, both pictures, the target size and the submitter to draw with.
class Frame {
public:
    Frame(SDL_Renderer* renderer, SDL_Texture* outgoing, SDL_Texture* incoming, int width, int height,
          DrawSubmitter& submitter)
        : renderer_(renderer), outgoing_(outgoing), incoming_(incoming), width_(width), height_(height),
          submitter_(submitter) {}

    SDL_Renderer* renderer() const { return renderer_; }
    SDL_Texture* outgoing() const { return outgoing_; }
    SDL_Texture* incoming() const { return incoming_; }
    int width() const { return width_; }
    int height() const { return height_; }
    DrawSubmitter& submitter() const { return submitter_; }
    SDL_Rect whole() const { return {0, 0, width_, height_}; }

    void draw(SDL_Texture* texture, const SDL_Rect* source, const SDL_Rect* destination) const {
        drawTransitionTexture(renderer_, texture, source, destination, submitter_);
    }
    void drawAt(SDL_Texture* texture, const SDL_Rect& destination) const { draw(texture, nullptr, &destination); }
    // Draws with alpha lround(fraction * 255) and sets the alpha back to 255.
    void drawFaded(SDL_Texture* texture, double fraction, const SDL_Rect* source, const SDL_Rect& destination) const {
        SDL_SetTextureAlphaMod(texture, alphaOf(fraction));
        draw(texture, source, &destination);
        SDL_SetTextureAlphaMod(texture, 255);
    }
    void outgoingWhole() const { drawOutgoingFrame(renderer_, outgoing_, width_, height_, submitter_); }
    void incomingWhole() const { drawAt(incoming_, whole()); }
    // The incoming picture's own rectangle, in place.
    void reveal(const SDL_Rect& area) const { draw(incoming_, &area, &area); }

private:
    SDL_Renderer* renderer_;
    SDL_Texture* outgoing_;
    SDL_Texture* incoming_;
    int width_;
    int height_;
    DrawSubmitter& submitter_;
};

void push(const Frame& f, int kind, double p) {
    const int w = f.width(), h = f.height();
    const int dx = roundToInt(w * p), dy = roundToInt(h * p);
    SDL_Rect out{}, in{};
    switch (kind) {
        case transition::pushLeft: out = {-dx, 0, w, h}, in = {w - dx, 0, w, h}; break;
        case transition::pushRight: out = {dx, 0, w, h}, in = {dx - w, 0, w, h}; break;
        case transition::pushUp: out = {0, -dy, w, h}, in = {0, h - dy, w, h}; break;
        default: out = {0, dy, w, h}, in = {0, dy - h, w, h}; break;
    }
    if (f.outgoing() != nullptr) f.drawAt(f.outgoing(), out);
    f.drawAt(f.incoming(), in);
}

void cover(const Frame& f, int kind, double p) {
    const int w = f.width(), h = f.height();
    const int dx = roundToInt(w * p), dy = roundToInt(h * p);
    const int fromRight = w - dx, fromLeft = dx - w, fromBottom = h - dy, fromTop = dy - h;
    SDL_Rect in{};
    switch (kind) {
        case transition::coverLeft: in = {fromRight, 0, w, h}; break;
        case transition::coverRight: in = {fromLeft, 0, w, h}; break;
        case transition::coverUp: in = {0, fromBottom, w, h}; break;
        case transition::coverDown: in = {0, fromTop, w, h}; break;
        case transition::coverUpLeft: in = {fromRight, fromBottom, w, h}; break;
        case transition::coverUpRight: in = {fromLeft, fromBottom, w, h}; break;
        case transition::coverDownLeft: in = {fromRight, fromTop, w, h}; break;
        default: in = {fromLeft, fromTop, w, h}; break;
    }
    f.outgoingWhole();
    f.drawAt(f.incoming(), in);
}

void splitOpen(const Frame& f, bool vertical, double p) {
    f.outgoingWhole();
    const int w = f.width(), h = f.height();
    if (!vertical) {
        const int band = roundToInt(w * p);
        if (band > 0) f.reveal({(w - band) / 2, 0, band, h});
    } else {
        const int band = roundToInt(h * p);
        if (band > 0) f.reveal({0, (h - band) / 2, w, band});
    }
}

void splitClose(const Frame& f, bool vertical, double p) {
    f.outgoingWhole();
    const int w = f.width(), h = f.height();
    if (!vertical) {
        const int band = static_cast<int>(std::ceil(w * p * 0.5));
        if (band <= 0) return;
        f.reveal({0, 0, band, h});
        f.reveal({w - band, 0, band, h});
    } else {
        const int band = static_cast<int>(std::ceil(h * p * 0.5));
        if (band <= 0) return;
        f.reveal({0, 0, w, band});
        f.reveal({0, h - band, w, band});
    }
}

// Where a wipe-like tile starts to appear, as a fraction of the transition.
double tileStart(int kind, int row, int column) {
    const double u = (column + 0.5) / 20.0 - 0.5;
    const double v = (row + 0.5) / 12.0 - 0.5;
    if (kind == transition::checkerboard) return 0.22 * row / 12.0 + ((row + column) % 2 != 0 ? 0.32 : 0.0);
    constexpr double turn = 2.0 * std::numbers::pi;
    if (kind == transition::clockWipe) {
        double a = std::atan2(u, -v) / turn;  // 0 at twelve o'clock, growing clockwise
        if (a < 0.0) a += 1.0;
        return 0.84 * a;
    }
    double a = std::atan2(v, u) / turn;  // 0 at three o'clock, growing clockwise
    if (a < 0.0) a += 1.0;
    const double r = std::min(1.0, std::sqrt(u * u + v * v) * std::numbers::sqrt2);
    return 0.84 * (0.28 * r + 0.72 * std::fmod(a + 0.72 * r, 1.0));
}

void tileGrid(const Frame& f, int kind, double p) {
    constexpr int columns = 20, rows = 12;
    f.outgoingWhole();
    if (p >= 1.0) {
        f.incomingWhole();
        return;
    }
    SDL_Texture* in = f.incoming();
    for (int i = 0; i < rows; ++i) {
        const int y0 = partStart(i, rows, f.height());
        const int cellHeight = partStart(i + 1, rows, f.height()) - y0;
        for (int j = 0; j < columns; ++j) {
            const int x0 = partStart(j, columns, f.width());
            const int cellWidth = partStart(j + 1, columns, f.width()) - x0;
            const SDL_Rect cell{x0, y0, cellWidth, cellHeight};
            if (kind == transition::mosaic) {
                // Early on each cell is one magnified pixel of the incoming picture.
                const int w = std::max(1, roundToInt(cellWidth * p));
                const int h = std::max(1, roundToInt(cellHeight * p));
                const SDL_Rect source{x0 + (cellWidth - w) / 2, y0 + (cellHeight - h) / 2, w, h};
                SDL_SetTextureAlphaMod(in, alphaOf(p));
                f.draw(in, &source, &cell);
                continue;
            }
            const double local = (p - tileStart(kind, i, j)) / 0.16;
            if (local <= 0.0) continue;
            SDL_SetTextureAlphaMod(in, alphaOf(local));
            f.reveal(cell);
        }
    }
    SDL_SetTextureAlphaMod(in, 255);
}

void randomBars(const Frame& f, bool vertical, double p) {
    constexpr int bars = 24;
    f.outgoingWhole();
    if (p >= 1.0) {
        f.incomingWhole();
        return;
    }
    const int w = f.width(), h = f.height();
    for (int n = 0; n < bars; ++n) {
        const double r = hashFraction(hashIndex(static_cast<std::uint32_t>(n + 41)));
        const double local = std::min(1.0, (p - 0.55 * r) / 0.45);
        if (local <= 0.0) continue;
        if (!vertical) {
            const int y0 = partStart(n, bars, h);
            f.reveal({0, y0, roundToInt(w * local), partStart(n + 1, bars, h) - y0});
        } else {
            const int x0 = partStart(n, bars, w);
            f.reveal({x0, 0, partStart(n + 1, bars, w) - x0, roundToInt(h * local)});
        }
    }
}

void flip(const Frame& f, bool vertical, double p) {
    f.outgoingWhole();
    f.drawFaded(f.incoming(), p, nullptr, f.whole());
    SDL_Texture* face = p < 0.5 ? f.outgoing() : f.incoming();
    if (face == nullptr) return;
    const double s = std::fabs(2.0 * p - 1.0);
    const int w = f.width(), h = f.height();
    if (!vertical) {
        const int faceWidth = std::max(1, roundToInt(w * s));
        f.drawAt(face, {(w - faceWidth) / 2, 0, faceWidth, h});
    } else {
        const int faceHeight = std::max(1, roundToInt(h * s));
        f.drawAt(face, {0, (h - faceHeight) / 2, w, faceHeight});
    }
}

void cube(const Frame& f, bool vertical, double p) {
    f.outgoingWhole();
    const auto w = static_cast<float>(f.width()), h = static_cast<float>(f.height());
    const double k = std::sin(std::numbers::pi * p);
    const auto outgoingShade = static_cast<Uint8>(static_cast<int>(255.0 - 70.0 * p));
    const auto incomingShade = static_cast<Uint8>(static_cast<int>(185.0 + 70.0 * p));
    if (!vertical) {
        const auto edge = static_cast<float>((1.0 - p) * f.width());
        const auto inset = static_cast<float>(f.height() * k * 0.08);
        if (f.outgoing() != nullptr) {
            drawGeometryTransition(f.renderer(), f.outgoing(), {{{0, inset}, {edge, 0}, {edge, h}, {0, h - inset}}},
                                   outgoingShade, f.submitter());
        }
        drawGeometryTransition(f.renderer(), f.incoming(), {{{edge, 0}, {w, inset}, {w, h - inset}, {edge, h}}},
                               incomingShade, f.submitter());
    } else {
        const auto edge = static_cast<float>((1.0 - p) * f.height());
        const auto inset = static_cast<float>(f.width() * k * 0.08);
        if (f.outgoing() != nullptr) {
            drawGeometryTransition(f.renderer(), f.outgoing(), {{{inset, 0}, {w - inset, 0}, {w, edge}, {0, edge}}},
                                   outgoingShade, f.submitter());
        }
        drawGeometryTransition(f.renderer(), f.incoming(), {{{0, edge}, {w, edge}, {w - inset, h}, {inset, h}}},
                               incomingShade, f.submitter());
    }
}

SDL_FRect toFloat(const SDL_Rect& r) {
    return {static_cast<float>(r.x), static_cast<float>(r.y), static_cast<float>(r.w), static_cast<float>(r.h)};
}

void pageTurn(const Frame& f, bool vertical, double p) {
    f.incomingWhole();
    SDL_Texture* out = f.outgoing();
    const int w = f.width(), h = f.height();
    const int length = vertical ? h : w;
    const int rest = roundToInt((1.0 - p) * length);
    if (out == nullptr || rest <= 0) return;
    // The page still to turn, then the fold: the strip just before the page's edge, mirrored
    // beyond it and shaded.
    const int fold = std::min(rest, length > 41 ? length / 14 : 2);
    SDL_Rect page{}, strip{}, folded{};
    if (!vertical) {
        page = {0, 0, rest, h}, strip = {rest - fold, 0, fold, h}, folded = {rest, 0, fold, h};
    } else {
        page = {0, 0, w, rest}, strip = {0, rest - fold, w, fold}, folded = {0, rest, w, fold};
    }
    f.draw(out, &page, &page);
    const SDL_FRect source = toFloat(strip), destination = toFloat(folded);
    SDL_SetTextureColorMod(out, 170, 170, 170);
    f.submitter().renderTextureRotated(f.renderer(), out, &source, &destination, 0.0, nullptr,
                                   vertical ? SDL_FLIP_VERTICAL : SDL_FLIP_HORIZONTAL);
    SDL_SetTextureColorMod(out, 255, 255, 255);
}

void rippleStrips(const Frame& f, double p) {
    constexpr int strips = 40;
    f.outgoingWhole();
    if (p >= 1.0) {
        f.incomingWhole();
        return;
    }
    SDL_Texture* in = f.incoming();
    const int w = f.width(), h = f.height();
    SDL_SetTextureAlphaMod(in, alphaOf(p));
    for (int k = 0; k < strips; ++k) {
        const int x = partStart(k, strips, w);
        const int stripWidth = partStart(k + 1, strips, w) - x;
        const int offset = roundToInt(std::sin(0.72 * k - 4.0 * std::numbers::pi * p) * h * 0.035 * (1.0 - p));
        const SDL_Rect source{x, 0, stripWidth, h}, destination{x, offset, stripWidth, h};
        f.draw(in, &source, &destination);
    }
    SDL_SetTextureAlphaMod(in, 255);
}

void whiteFade(const Frame& f, double p) {
    float r = 0, g = 0, b = 0, a = 0;
    SDL_GetRenderDrawColorFloat(f.renderer(), &r, &g, &b, &a);
    SDL_SetRenderDrawColor(f.renderer(), 255, 255, 255, 255);
    SDL_RenderClear(f.renderer());
    if (p < 0.5) {
        if (f.outgoing() != nullptr) f.drawFaded(f.outgoing(), 1.0 - 2.0 * p, nullptr, f.whole());
    } else {
        f.drawFaded(f.incoming(), 2.0 * p - 1.0, nullptr, f.whole());
    }
    SDL_SetRenderDrawColorFloat(f.renderer(), r, g, b, a);
}

void blackFade(const Frame& f, double p) {
    // Only one picture at a time: the target's black clear shows through the fade.
    if (p < 0.5) {
        if (f.outgoing() != nullptr) f.drawFaded(f.outgoing(), 1.0 - 2.0 * p, nullptr, f.whole());
    } else {
        f.drawFaded(f.incoming(), 2.0 * p - 1.0, nullptr, f.whole());
    }
}

SDL_Rect centred(int width, int height, double scale) {
    const int w = roundToInt(width * scale), h = roundToInt(height * scale);
    return {(width - w) / 2, (height - h) / 2, w, h};
}

void wipe(const Frame& f, int kind, double p) {
    f.outgoingWhole();
    const int w = f.width(), h = f.height();
    const bool across = kind == transition::wipeLeft || kind == transition::wipeRight;
    const int band = across ? roundToInt(w * p) : roundToInt(h * p);
    if (band <= 0) return;
    switch (kind) {
        case transition::wipeLeft: f.reveal({0, 0, band, h}); break;
        case transition::wipeRight: f.reveal({w - band, 0, band, h}); break;
        case transition::wipeUp: f.reveal({0, 0, w, band}); break;
        default: f.reveal({0, h - band, w, band}); break;
    }
}

void blinds(const Frame& f, bool vertical, double p) {
    constexpr int slats = 12;
    f.outgoingWhole();
    const std::int64_t length = vertical ? f.width() : f.height();
    const std::int64_t slat = (length + slats - 1) / slats;
    const std::int64_t open = std::lround(static_cast<double>(slat) * p);
    for (int i = 0; i < slats; ++i) {
        const std::int64_t offset = i * slat;
        const auto extent = static_cast<int>(std::min(length - offset, open));
        if (extent <= 0) continue;
        const auto at = static_cast<int>(offset);
        f.reveal(vertical ? SDL_Rect{at, 0, extent, f.height()} : SDL_Rect{0, at, f.width(), extent});
    }
}

}  // namespace

double clampProgress(double progress) {
    if (!(progress > 0.0)) return 0.0;  // also NaN
    return progress >= 1.0 ? 1.0 : progress;
}


void drawTransitionTexture(SDL_Renderer* renderer, SDL_Texture* texture, const SDL_Rect* source,
                           const SDL_Rect* destination, DrawSubmitter& submitter) {
    SDL_FRect from{}, to{};
    if (source != nullptr) from = toFloat(*source);
    if (destination != nullptr) to = toFloat(*destination);
    // Unturned and unflipped, SDL_RenderTextureRotated is SDL_RenderTexture.
    submitter.renderTextureRotated(renderer, texture, source != nullptr ? &from : nullptr,
                                   destination != nullptr ? &to : nullptr, 0.0, nullptr, SDL_FLIP_NONE);
}

void drawOutgoingFrame(SDL_Renderer* renderer, SDL_Texture* outgoing, int width, int height, DrawSubmitter& submitter) {
    if (outgoing == nullptr) return;
    const SDL_Rect whole{0, 0, width, height};
    drawTransitionTexture(renderer, outgoing, nullptr, &whole, submitter);
}

void drawGeometryTransition(SDL_Renderer* renderer, SDL_Texture* texture, const std::array<SDL_FPoint, 4>& corners,
                            Uint8 shade, DrawSubmitter& submitter) {
    const float tone = static_cast<float>(shade) / 255.0f;
    const SDL_FColor colour{tone, tone, tone, 1.0f};
    const std::array<SDL_Vertex, 4> vertices{{
        {corners[0], colour, {0.0f, 0.0f}},
        {corners[1], colour, {1.0f, 0.0f}},
        {corners[2], colour, {1.0f, 1.0f}},
        {corners[3], colour, {0.0f, 1.0f}},
    }};
    static constexpr std::array<int, 6> indices{0, 1, 2, 0, 2, 3};
    submitGeometry(renderer, texture, vertices.data(), 4, indices.data(), 6, submitter);
}

void buildTransitionGeometry(SDL_Renderer* renderer, SDL_Texture* outgoing, SDL_Texture* incoming, int width,
                             int height, int mode, double progress, DrawSubmitter& submitter) {
    if (renderer == nullptr || incoming == nullptr || width <= 0 || height <= 0) return;
    if (mode != transition::particleDissolve && mode != transition::particleBurstIn &&
        mode != transition::particleBurstOut) {
        return;
    }
    const double p = clampProgress(progress);
    const Frame f(renderer, outgoing, incoming, width, height, submitter);
    // Dissolve and burst-in bring the incoming picture's particles in over the outgoing picture;
    // burst-out blows the outgoing picture's particles off the incoming one.
    SDL_Texture* particles = incoming;
    if (mode == transition::particleBurstOut) {
        f.incomingWhole();
        if (p >= 1.0 || outgoing == nullptr) return;
        particles = outgoing;
    } else {
        f.outgoingWhole();
        if (p >= 1.0) {
            f.incomingWhole();
            return;
        }
    }

    std::array<SDL_Vertex, particleVertexCapacity> vertices;
    std::array<int, particleIndexCapacity> indices;
    int count = 0;
    const double w = width, h = height;
    const double reach = std::max(w, h);
    for (int row = 0; row < particleRows; ++row) {
        const int y0 = partStart(row, particleRows, height), y1 = partStart(row + 1, particleRows, height);
        const int cellHeight = y1 - y0;
        for (int column = 0; column < particleColumns; ++column) {
            const int x0 = partStart(column, particleColumns, width);
            const int x1 = partStart(column + 1, particleColumns, width);
            const int cellWidth = x1 - x0;
            const std::uint32_t hash = hashIndex(static_cast<std::uint32_t>(row * particleColumns + column + 1));
            const double rnd = hashFraction(hash);

            double left = 0, top = 0, alpha = 0;
            int sizeX = 0, sizeY = 0;
            if (mode == transition::particleDissolve) {
                const double local = (p - 0.72 * rnd) / 0.28;
                if (local <= 0.0) continue;
                const double grown = local > 1.0 ? 1.0 : smoothstep(local);
                sizeX = std::max(1, roundToInt(cellWidth * grown));
                sizeY = std::max(1, roundToInt(cellHeight * grown));
                left = x0 + (cellWidth - sizeX) / 2;
                top = y0 + (cellHeight - sizeY) / 2;
                alpha = std::lround(std::min(local, 1.0) * 255.0);
            } else {
                const double jitterX = static_cast<double>((hash >> 16) & 0xFFu) / 127.5 - 1.0;
                const double jitterY = static_cast<double>(hash >> 24) / 127.5 - 1.0;
                const double a = std::clamp((p - 0.18 * rnd) / 0.82, 0.0, 1.0);
                const double ease = 1.0 - (1.0 - a) * (1.0 - a) * (1.0 - a);
                const double spread = (0.3 + 0.35 * rnd) * reach;
                // Outwards from the target's centre through the cell's centre.
                const double fromCentreX = x0 + cellWidth * 0.5 - w * 0.5;
                const double fromCentreY = y0 + cellHeight * 0.5 - h * 0.5;
                const double distance = std::hypot(fromCentreX, fromCentreY);
                const double nx = distance > 0.0 ? fromCentreX / distance : 0.0;
                const double ny = distance > 0.0 ? fromCentreY / distance : 0.0;
                const double travelX = 2.0 * jitterX * cellWidth + spread * nx;
                const double travelY = 2.0 * jitterY * cellHeight + spread * ny;
                double scale = 0, away = 0;
                if (mode == transition::particleBurstIn) {
                    scale = 0.35 + 0.65 * ease, away = 1.0 - ease, alpha = std::lround(a * 255.0);
                } else {
                    scale = 1.0 - 0.65 * ease, away = ease, alpha = std::lround((1.0 - ease) * 255.0);
                }
                sizeX = std::max(1, roundToInt(cellWidth * scale));
                sizeY = std::max(1, roundToInt(cellHeight * scale));
                left = static_cast<double>(std::lround(x0 + travelX * away + (cellWidth - sizeX) * 0.5));
                top = static_cast<double>(std::lround(y0 + travelY * away + (cellHeight - sizeY) * 0.5));
            }

            const SDL_FColor colour{1.0f, 1.0f, 1.0f, static_cast<float>(alpha / 255.0)};
            const auto u0 = static_cast<float>(x0 / w), u1 = static_cast<float>(x1 / w);
            const auto v0 = static_cast<float>(y0 / h), v1 = static_cast<float>(y1 / h);
            const auto l = static_cast<float>(left), t = static_cast<float>(top);
            const auto r = static_cast<float>(left + sizeX), b = static_cast<float>(top + sizeY);
            SDL_Vertex* quad = &vertices[static_cast<std::size_t>(4 * count)];
            quad[0] = {{l, t}, colour, {u0, v0}};
            quad[1] = {{r, t}, colour, {u1, v0}};
            quad[2] = {{r, b}, colour, {u1, v1}};
            quad[3] = {{l, b}, colour, {u0, v1}};
            int* index = &indices[static_cast<std::size_t>(6 * count)];
            const int first = 4 * count;
            index[0] = first, index[1] = first + 1, index[2] = first + 2;
            index[3] = first, index[4] = first + 2, index[5] = first + 3;
            ++count;
        }
    }
    if (count == 0) return;
    submitGeometry(renderer, particles, vertices.data(), 4 * count, indices.data(), 6 * count, submitter);
}

void renderTransitionMesh(SDL_Renderer* renderer, SDL_Texture* incoming, int width, int height, bool backward,
                          double progress, DrawSubmitter& submitter) {
    if (renderer == nullptr || incoming == nullptr || width <= 0 || height <= 0) return;
    constexpr int bands = 12;
    const double p = clampProgress(progress);
    const double w = width, h = height;
    const double band = (w + h) / bands;
    const double open = band * p;

    struct Point {
        double x, y;
    };
    // The diagonal coordinate across the bands.
    const auto along = [&](const Point& q) { return backward ? q.x - q.y + h : q.x + q.y; };
    // Clips a convex polygon to one side of a diagonal line, in place.
    const auto clip = [&](std::array<Point, 8>& polygon, int& size, double bound, bool keepAbove) {
        std::array<Point, 8> kept;
        int keptSize = 0;
        const auto inside = [&](const Point& q) { return keepAbove ? along(q) >= bound : along(q) <= bound; };
        Point previous = polygon[static_cast<std::size_t>(size - 1)];
        for (int i = 0; i < size; ++i) {
            const Point current = polygon[static_cast<std::size_t>(i)];
            const bool currentInside = inside(current), previousInside = inside(previous);
            if (currentInside != previousInside) {
                const double sp = along(previous), sc = along(current);
                const double t = sc == sp ? 0.0 : (bound - sp) / (sc - sp);
                kept[static_cast<std::size_t>(keptSize++)] = {previous.x + (current.x - previous.x) * t,
                                                              previous.y + (current.y - previous.y) * t};
            }
            if (currentInside) kept[static_cast<std::size_t>(keptSize++)] = current;
            previous = current;
        }
        polygon = kept;
        size = keptSize;
    };

    for (int k = 0; k < bands; ++k) {
        std::array<Point, 8> polygon{{{0, 0}, {w, 0}, {w, h}, {0, h}}};
        int size = 4;
        clip(polygon, size, k * band, true);
        if (size > 0) clip(polygon, size, k * band + open, false);
        if (size < 3) continue;
        std::array<SDL_Vertex, 8> vertices;
        std::array<int, 18> indices;
        for (int i = 0; i < size; ++i) {
            const Point& q = polygon[static_cast<std::size_t>(i)];
            vertices[static_cast<std::size_t>(i)] = {{static_cast<float>(q.x), static_cast<float>(q.y)},
                                                     {1.0f, 1.0f, 1.0f, 1.0f},
                                                     {static_cast<float>(q.x / w), static_cast<float>(q.y / h)}};
        }
        int indexCount = 0;
        for (int i = 2; i < size; ++i) {
            indices[static_cast<std::size_t>(indexCount++)] = 0;
            indices[static_cast<std::size_t>(indexCount++)] = i - 1;
            indices[static_cast<std::size_t>(indexCount++)] = i;
        }
        submitGeometry(renderer, incoming, vertices.data(), size, indices.data(), indexCount, submitter);
    }
}

void renderTransition(SDL_Renderer* renderer, SDL_Texture* outgoing, SDL_Texture* incoming, int width, int height,
                      int kind, double progress, DrawSubmitter& submitter) {
    if (renderer == nullptr || incoming == nullptr || width <= 0 || height <= 0) return;
    if (kind < 0 || kind >= transitionKindCount) return;
    const double p = clampProgress(progress);
    const Frame f(renderer, outgoing, incoming, width, height, submitter);
    using namespace transition;
    switch (kind) {
        case pushLeft: case pushRight: case pushUp: case pushDown: push(f, kind, p); break;
        case coverLeft: case coverRight: case coverUp: case coverDown: case coverUpLeft: case coverUpRight:
        case coverDownLeft: case coverDownRight: cover(f, kind, p); break;
        case particleDissolve: case particleBurstIn: case particleBurstOut:
            buildTransitionGeometry(renderer, outgoing, incoming, width, height, kind, p, submitter);
            break;
        case shatter:
            buildTransitionGeometry(renderer, outgoing, incoming, width, height, particleBurstOut,
                                    std::min(1.12 * p, 1.0), submitter);
            break;
        case clockWipe: case checkerboard: case mosaic: case spiralWipe: tileGrid(f, kind, p); break;
        case splitOpenHorizontal: case curtainOpenHorizontal: splitOpen(f, false, p); break;
        case splitOpenVertical: case curtainOpenVertical: splitOpen(f, true, p); break;
        case splitCloseHorizontal: case curtainCloseHorizontal: splitClose(f, false, p); break;
        case splitCloseVertical: case curtainCloseVertical: splitClose(f, true, p); break;
        case randomHorizontalBars: randomBars(f, false, p); break;
        case randomVerticalBars: randomBars(f, true, p); break;
        case flipHorizontal: flip(f, false, p); break;
        case flipVertical: flip(f, true, p); break;
        case cubeHorizontal: cube(f, false, p); break;
        case cubeVertical: cube(f, true, p); break;
        case pageTurnHorizontal: pageTurn(f, false, p); break;
        case pageTurnVertical: pageTurn(f, true, p); break;
        case ripple: rippleStrips(f, p); break;
        case fadeThroughWhite: whiteFade(f, p); break;
        case crossFade:
            f.outgoingWhole();
            f.drawFaded(incoming, p, nullptr, f.whole());
            break;
        case fadeThroughBlack: blackFade(f, p); break;
        case zoomIn:
            f.outgoingWhole();
            f.drawFaded(incoming, p, nullptr, centred(width, height, 0.65 + 0.35 * p));
            break;
        case zoomOut:
            f.incomingWhole();
            if (outgoing != nullptr) f.drawFaded(outgoing, 1.0 - p, nullptr, centred(width, height, 1.0 - 0.35 * p));
            break;
        case wipeLeft: case wipeRight: case wipeUp: case wipeDown: wipe(f, kind, p); break;
        case horizontalBlinds: blinds(f, false, p); break;
        case verticalBlinds: blinds(f, true, p); break;
        case diagonalBlindsForward: case diagonalBlindsBackward:
            f.outgoingWhole();
            renderTransitionMesh(renderer, incoming, width, height, kind == diagonalBlindsBackward, p, submitter);
            break;
        default: break;
    }
}

}  // namespace lumetta::player
