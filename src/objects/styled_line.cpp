#include "objects/styled_line.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <memory>
#include <numbers>
#include <stdexcept>
#include <string>

#include "display/sdl_handles.h"

namespace lumetta {

namespace {

[[noreturn]] void throwSdlError() { throw std::runtime_error(SDL_GetError()); }

void measure(TTF_Font* font, const std::string& text, int& width, int& height) {
    if (!TTF_GetStringSize(font, text.data(), text.size(), &width, &height)) throwSdlError();
}

bool isContinuationByte(unsigned char byte) { return byte >= 0x80 && byte <= 0xBF; }

// One pass of the filter along a line of `count` cells, `stride` apart.
void filterLine(const std::uint8_t* in, std::uint8_t* out, int count, int stride, int radius, bool maximum,
                std::vector<int>& queue) {
    auto at = [&](int i) { return in[static_cast<std::ptrdiff_t>(i) * stride]; };
    if (maximum) {
        // Candidate positions whose values fall from front to back.
        int head = 0, tail = 0, next = 0;
        for (int i = 0; i < count; ++i) {
            const int last = std::min(count - 1, i + radius);
            for (; next <= last; ++next) {
                while (tail > head && at(queue[tail - 1]) <= at(next)) --tail;
                queue[tail++] = next;
            }
            while (queue[head] < i - radius) ++head;
            out[static_cast<std::ptrdiff_t>(i) * stride] = at(queue[head]);
        }
        return;
    }
    const int window = 2 * radius + 1;
    long sum = 0;
    for (int i = 0; i <= std::min(count - 1, radius); ++i) sum += at(i);
    for (int i = 0; i < count; ++i) {
        out[static_cast<std::ptrdiff_t>(i) * stride] = static_cast<std::uint8_t>(sum / window);
        if (i + radius + 1 < count) sum += at(i + radius + 1);
        if (i - radius >= 0) sum -= at(i - radius);
    }
}

SDL_Color gradientPixel(SDL_Color pixel, double t, SDL_Color base, SDL_Color gradient) {
    auto mix = [t](std::uint8_t from, std::uint8_t to) {
        return static_cast<std::uint8_t>(std::lround(from + (to - from) * t));
    };
    const double alpha = (gradient.a * t / 255.0 + (1.0 - t)) * pixel.a;
    return SDL_Color{mix(base.r, gradient.r), mix(base.g, gradient.g), mix(base.b, gradient.b),
                     static_cast<std::uint8_t>(std::lround(alpha) & 0xFF)};
}

SDL_Color withAlpha(SDL_Color color, long alpha) {
    color.a = static_cast<std::uint8_t>(std::clamp(alpha, 0L, 255L));
    return color;
}

void blendUnlessClear(SDL_Color& destination, SDL_Color source) {
    if (source.a != 0) blendColorOver(destination, source);
}

}  // namespace

StyledLineCanvas styledLineCanvas(int textWidth, int textHeight, const TextStyle& style) {
    int margin = std::max(style.outlineWidth, 0);
    if (style.shadow) {
        margin = std::max(margin, style.shadowBlur + std::max(std::abs(style.shadowOffsetX), std::abs(style.shadowOffsetY)));
    }
    const double width = static_cast<double>(textWidth) + 2.0 * margin;
    const double height = static_cast<double>(textHeight) + 2.0 * margin;
    if (width * height > maxStyledLineCells) throw std::invalid_argument("Styled text line is too large");
    return StyledLineCanvas{margin, static_cast<int>(width), static_cast<int>(height)};
}

std::vector<std::uint8_t> transformMask(const std::vector<std::uint8_t>& mask, int width, int height, int radius,
                                        bool maximum) {
    if (radius <= 0 || width < 1 || height < 1) return mask;
    std::vector<std::uint8_t> horizontal(mask.size()), result(mask.size());
    std::vector<int> queue(static_cast<std::size_t>(std::max(width, height)));
    for (int y = 0; y < height; ++y) {
        const std::size_t row = static_cast<std::size_t>(y) * width;
        filterLine(mask.data() + row, horizontal.data() + row, width, 1, radius, maximum, queue);
    }
    for (int x = 0; x < width; ++x) {
        filterLine(horizontal.data() + x, result.data() + x, height, width, radius, maximum, queue);
    }
    return result;
}

StyledLinePixels composeStyledLine(TTF_Font* font, const TextStyle& style, SDL_Color baseColor,
                                   const std::vector<StyledRun>& runs, bool trackChars) {
    StyledLinePixels line;
    const auto pieces = splitStyledPieces(toStyledPieces(runs), style);
    const int spacing = style.characterSpacing;

    std::vector<SDL_Point> sizes;
    sizes.reserve(pieces.size());
    long x = 0;
    int textHeight = 0;
    for (const auto& piece : pieces) {
        TTF_SetFontStyle(font, piece.style & fontEngineStyleMask);
        int w = 0, h = 0;
        measure(font, piece.text, w, h);
        if (trackChars) {
            for (std::size_t end = 1; end <= piece.text.size(); ++end) {
                if (end < piece.text.size() && isContinuationByte(static_cast<unsigned char>(piece.text[end]))) continue;
                int prefixWidth = 0, prefixHeight = 0;
                measure(font, piece.text.substr(0, end), prefixWidth, prefixHeight);
                line.charOffsets.push_back(static_cast<int>(x + prefixWidth));
            }
        }
        sizes.push_back(SDL_Point{w, h});
        x += w + spacing;
        textHeight = std::max(textHeight, h);
    }
    const long textWidthLong = x - spacing;
    if (textWidthLong < 1 || textHeight < 1) return line;
    if (textWidthLong > std::numeric_limits<int>::max()) throw std::invalid_argument("Styled text line is too large");
    const int textWidth = static_cast<int>(textWidthLong);

    const StyledLineCanvas canvas = styledLineCanvas(textWidth, textHeight, style);
    const int m = canvas.margin;
    const int cw = canvas.width;
    const int ch = canvas.height;
    const std::size_t cells = static_cast<std::size_t>(cw) * static_cast<std::size_t>(ch);
    std::vector<SDL_Color> glyphs(cells, SDL_Color{0, 0, 0, 0});
    std::vector<SDL_Color> backgrounds(cells, SDL_Color{0, 0, 0, 0});
    std::vector<std::uint8_t> glyphMask(cells, 0);

    const double theta = std::fmod(style.gradientAngle, 360.0) * std::numbers::pi / 180.0;
    const double s = std::sin(theta);
    const double c = std::cos(theta);
    const bool linear = style.gradient == "linear";
    const bool radial = style.gradient == "radial";
    const double halfW = textWidth / 2.0;
    const double halfH = textHeight / 2.0;

    x = 0;
    for (std::size_t p = 0; p < pieces.size(); ++p) {
        const auto& piece = pieces[p];
        const int w = sizes[p].x;
        const int h = sizes[p].y;
        TTF_SetFontStyle(font, piece.style & fontEngineStyleMask);
        SurfaceHandle rendered(TTF_RenderText_Blended(font, piece.text.data(), piece.text.size(), piece.color));
        if (!rendered) throwSdlError();
        SurfaceHandle converted(SDL_ConvertSurface(rendered.get(), SDL_PIXELFORMAT_ABGR8888));
        if (!converted) throwSdlError();
        const SDL_Surface* surface = converted.get();
        const int top = (textHeight - h) / 2;
        for (int py = 0; py < h; ++py) {
            for (int px = 0; px < w; ++px) {
                const long cx = m + x + px;
                const long cy = m + top + py;
                if (cx < 0 || cx >= cw || cy < 0 || cy >= ch) continue;
                const std::size_t cell = static_cast<std::size_t>(cy) * cw + static_cast<std::size_t>(cx);
                if (piece.hasBackground) backgrounds[cell] = piece.background;
                SDL_Color pixel{0, 0, 0, 0};
                if (px < surface->w && py < surface->h) {
                    Uint32 packed = 0;
                    std::memcpy(&packed, static_cast<const std::uint8_t*>(surface->pixels) + py * surface->pitch + px * 4, 4);
                    pixel = SDL_Color{static_cast<Uint8>(packed), static_cast<Uint8>(packed >> 8),
                                      static_cast<Uint8>(packed >> 16), static_cast<Uint8>(packed >> 24)};
                }
                if ((linear || radial) && !piece.highlighted) {
                    const double gx = static_cast<double>(x + px) - halfW;
                    const double gy = static_cast<double>(top + py) - halfH;
                    double t;
                    if (linear) {
                        t = std::clamp((s * gy + c * gx) / (std::abs(s) * textHeight + std::abs(c) * textWidth) + 0.5, 0.0, 1.0);
                    } else {
                        t = std::min(1.0, std::hypot(gx / halfW, gy / halfH));
                    }
                    pixel = gradientPixel(pixel, t, baseColor, style.gradientColor);
                }
                blendColorOver(glyphs[cell], pixel);
                glyphMask[cell] = glyphs[cell].a;
            }
        }
        x += w + spacing;
    }

    const auto outlineMask = transformMask(glyphMask, cw, ch, style.outlineWidth, true);
    std::vector<std::uint8_t> shadowMask;
    if (style.shadow) shadowMask = transformMask(outlineMask, cw, ch, style.shadowBlur, false);

    line.pixels.assign(cells, SDL_Color{0, 0, 0, 0});
    for (int cy = 0; cy < ch; ++cy) {
        for (int cx = 0; cx < cw; ++cx) {
            const std::size_t cell = static_cast<std::size_t>(cy) * cw + cx;
            SDL_Color& out = line.pixels[cell];
            if (style.shadow) {
                const int sx = cx - style.shadowOffsetX;
                const int sy = cy - style.shadowOffsetY;
                if (sx >= 0 && sx < cw && sy >= 0 && sy < ch) {
                    const double strength = shadowMask[static_cast<std::size_t>(sy) * cw + sx];
                    blendUnlessClear(out, withAlpha(style.shadowColor, std::lround(strength * style.shadowColor.a / 255.0 *
                                                                                   style.shadowOpacity)));
                }
            }
            blendUnlessClear(out, backgrounds[cell]);
            if (style.outlineWidth > 0) {
                blendUnlessClear(out, withAlpha(style.outlineColor, outlineMask[cell] * style.outlineColor.a / 255));
            }
            blendUnlessClear(out, glyphs[cell]);
        }
    }
    line.canvas = canvas;
    for (int& offset : line.charOffsets) offset += m;
    return line;
}

StyledLine renderStyledLine(SDL_Renderer* renderer, TTF_Font* font, const TextStyle& style, SDL_Color baseColor,
                            const std::vector<StyledRun>& runs, bool trackChars) {
    StyledLinePixels composed = composeStyledLine(font, style, baseColor, runs, trackChars);
    StyledLine line;
    if (composed.pixels.empty()) return line;
    const auto& canvas = composed.canvas;
    SurfaceHandle surface(SDL_CreateSurface(canvas.width, canvas.height, SDL_PIXELFORMAT_ABGR8888));
    if (!surface) throwSdlError();
    for (int y = 0; y < canvas.height; ++y) {
        auto* row = reinterpret_cast<Uint32*>(static_cast<std::uint8_t*>(surface->pixels) + y * surface->pitch);
        for (int x = 0; x < canvas.width; ++x) {
            const SDL_Color c = composed.pixels[static_cast<std::size_t>(y) * canvas.width + x];
            row[x] = Uint32(c.r) | Uint32(c.g) << 8 | Uint32(c.b) << 16 | Uint32(c.a) << 24;
        }
    }
    line.texture.reset(SDL_CreateTextureFromSurface(renderer, surface.get()));
    if (!line.texture) throwSdlError();
    line.width = canvas.width;
    line.height = canvas.height;
    line.margin = canvas.margin;
    line.charOffsets = std::move(composed.charOffsets);
    return line;
}

}  // namespace lumetta
