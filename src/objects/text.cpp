#include "objects/text.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <iostream>
#include <limits>
#include <memory>
#include <utility>
#include <stdexcept>

#include "core/int_range.h"
#include "core/log.h"
#include "core/palette.h"
#include "display/display.h"
#include "display/draw.h"
#include "display/draw_context.h"
#include "display/slide_mapping.h"
#include "objects/font_path.h"
#include "display/sdl_handles.h"
#include "objects/text_preparation.h"

namespace lumetta {

namespace {

[[noreturn]] void throwSdlError() { throw std::runtime_error(SDL_GetError()); }

void logError(const std::string& message) { logText(std::cerr, colored(ansi::BOLD_RED, message)); }

}  // namespace

int measureLineWidth(const Text& element, TTF_Font* font, const std::vector<StyledRun>& runs) {
    return measureLineWidth(element.textStyle(), font, runs);
}

Text::Text(Display* display, int slideWidth, int slideHeight, SDL_Rect box, const std::string& text, int fontSize,
           ElementOpacity opacity, const std::string& fontFamily, std::uint8_t fontStyle, SDL_Color color,
           SDL_Color backgroundColor, int alignment, bool typewriter, const TextStyle& style, const Clock& clock)
    : Rectangle(display, slideWidth, slideHeight, box, backgroundColor,
                [&] {
                    RectangleStyle panel;
                    panel.borderColor = style.backgroundBorderColor;
                    panel.borderWidth = static_cast<float>(style.backgroundBorderWidth);
                    panel.cornerRadius = static_cast<float>(style.backgroundRadius);
                    return panel;
                }(),
                1.0f),
      style(style),
      textBox(box),
      text(text),
      fontSize(fontSize),
      opacity(std::move(opacity)),
      fontFamily(fontFamily),
      fontStyle(fontStyle),
      color(color),
      backgroundColor(backgroundColor),
      alignment(alignment),
      clock(clock) {
    // These two throw out of the constructor; nothing of ours is held yet.
    alpha = textOpacityAlpha(this->opacity, color.a);
    this->style.validate();
    const bool trackChars = typewriter || style.typewriterSpeed > 0 || style.typewriterDelay > 0 || style.typewriterCursor;
    SDL_Renderer* renderer = this->display != nullptr ? this->display->renderer() : nullptr;
    this->text = trimmedText(text);
    removeSpaces(this->fontFamily);
    try {
        layOut(renderer, trackChars);
    } catch (const std::exception& error) {
        lineTextures.clear();
        lineRects.clear();
        charOffsets.clear();
        totalChars = 0;
        logError(std::string("Text Exception: ") + error.what());
    }
}

void Text::layOut(SDL_Renderer* renderer, bool trackChars) {
    if (fontSize < 1) throw std::runtime_error("Font size must be greater than zero");
    if (TTF_WasInit() == 0 && !TTF_Init()) throw std::runtime_error(std::string("TTF_Init: ") + SDL_GetError());
    const std::string path = fontPath(fontFamily, fontStyle);
    if (path.empty()) SDL_SetError("Font family names a path outside the fonts directory");
    FontHandle font(path.empty() ? nullptr : TTF_OpenFont(path.c_str(), static_cast<float>(fontSize)));
    if (!font) throw std::runtime_error(std::string("TTF_OpenFont: ") + SDL_GetError());
    if ((fontStyle & fontStyleOutline) != 0) TTF_SetFontOutline(font.get(), 2);

    const std::vector<std::string> lines = splitTextSegments(text, "\n");
    const std::int64_t n = static_cast<std::int64_t>(lines.size());
    const bool styled = style.usesStyling();

    std::int64_t contentX = textBox.x, contentY = textBox.y, contentW = textBox.w, contentH = textBox.h;
    if (styled) {
        contentX += style.padding;
        contentY += style.padding;
        contentW -= 2 * static_cast<std::int64_t>(style.padding);
        contentH -= 2 * static_cast<std::int64_t>(style.padding);
        if (contentW < 1 || contentH < 1) throw std::invalid_argument("Text padding leaves no content area");
    }
    const std::int64_t lineSpacing = style.lineSpacing;

    if (style.overflow == "shrink") {
        int lo = 1, hi = fontSize, best = 1;
        while (lo <= hi) {
            const int mid = lo + (hi - lo) / 2;
            if (!TTF_SetFontSize(font.get(), static_cast<float>(mid))) throwSdlError();
            int widest = 0;
            for (std::string line : lines) {
                removeLineBreaks(line);
                widest = std::max(widest, measureLineWidth(style, font.get(), parseAnsiStyledRuns(line, color, fontStyle)));
            }
            const double blockHeight = static_cast<double>(n) * mid + static_cast<double>(lineSpacing) * std::max<std::int64_t>(n - 1, 0);
            if (widest <= contentW && blockHeight <= static_cast<double>(contentH)) {
                best = mid;
                lo = mid + 1;
            } else {
                hi = mid - 1;
            }
        }
        fontSize = best;
        if (!TTF_SetFontSize(font.get(), static_cast<float>(fontSize))) throwSdlError();
    }

    const std::int64_t size = fontSize;
    const std::int64_t blockHeight = std::max<std::int64_t>(n - 1, 0) * (size + lineSpacing) + TTF_GetFontHeight(font.get());
    std::int64_t verticalOffset = 0;
    const std::int64_t d = contentH - blockHeight;
    if (style.verticalAlignment == "middle") {
        verticalOffset = size * 15 / 100 + (d > 1 ? d / 2 : 0);
    } else if (style.verticalAlignment == "bottom") {
        verticalOffset = size * 15 / 100 + (d >= 0 ? d : 0);
    }

    const std::int64_t minimumRoom = size * 80 / 100;
    if (contentH <= minimumRoom) return;
    const std::string keyPrefix = textRunKeyPrefix(path, fontSize);
    for (std::int64_t i = 0; i < n; ++i) {
        const std::int64_t yAcc = i * (size + lineSpacing);
        if (!(yAcc + minimumRoom < contentH)) break;
        std::string line = lines[static_cast<std::size_t>(i)];
        removeLineBreaks(line);
        std::vector<StyledRun> runs = parseAnsiStyledRuns(line, color, fontStyle);

        if (style.overflow == "ellipsis") {
            const bool nextDropped = i + 1 < n && contentH <= yAcc + size + lineSpacing + minimumRoom;
            if (nextDropped || measureLineWidth(style, font.get(), runs) > contentW) {
                const StyledRun ellipsis{ellipsisText, color, false, SDL_Color{0, 0, 0, 0}, fontStyle};
                while (!runs.empty()) {
                    std::vector<StyledRun> candidate = runs;
                    candidate.push_back(ellipsis);
                    if (measureLineWidth(style, font.get(), candidate) <= contentW) break;
                    dropLastCharacter(runs.back().text);
                    if (runs.back().text.empty()) runs.pop_back();
                }
                runs.push_back(ellipsis);
            }
        }

        // Measured before anything is rendered: a line no texture can hold (a megabyte of text
        // on one line, say) would otherwise allocate gigabytes only to fail.
        const int lineLimit = textLineWidthLimit(renderer);
        if (const int lineWidth = measureLineWidth(style, font.get(), runs); lineWidth > lineLimit) {
            throw std::runtime_error("Text line is " + std::to_string(lineWidth) + " pixels wide; at most " +
                                     std::to_string(lineLimit) + " can be shown");
        }

        TextureHandle texture;
        int width = 0, height = 0, margin = 0;
        std::vector<int> offsets;
        if (styled) {
            StyledLine rendered = renderStyledLine(renderer, font.get(), style, color, runs, trackChars);
            texture = std::move(rendered.texture);
            width = rendered.width;
            height = rendered.height;
            margin = rendered.margin;
            offsets = std::move(rendered.charOffsets);
        } else {
            if (trackChars) offsets = plainCharacterOffsets(font.get(), runs);
            texture = buildTextTexture(renderer, font.get(), keyPrefix, runs, &width, &height);
        }
        if (!texture) {
            // Nothing to show: an empty line, or one made only of colour codes (a reset at the
            // end of a text, say), keeps its slot like a blank line instead of failing the text.
            if (line.empty() || runs.empty()) continue;
            throw std::runtime_error(std::string("Failed to render text line: ") + SDL_GetError());
        }

        const std::int64_t y = contentY + yAcc + verticalOffset - margin;
        std::int64_t x = contentX - margin;
        if (alignment == 1) {
            x = contentX + contentW - width;
        } else if (alignment == 2) {
            x = contentX + (contentW - width) / 2;
        }
        if (!SDL_SetTextureBlendMode(texture.get(), SDL_BLENDMODE_BLEND)) {
            logError(std::string("SDL_SetTextureBlendMode: ") + SDL_GetError());
        }
        if (!SDL_SetTextureAlphaMod(texture.get(), alpha)) {
            logError(std::string("SDL_SetTextureAlphaMod: ") + SDL_GetError());
        }
        if (trackChars) {
            totalChars = clampToInt(static_cast<std::int64_t>(totalChars) + static_cast<std::int64_t>(offsets.size()));
            charOffsets.push_back(std::move(offsets));
        }
        lineRects.push_back(SDL_Rect{clampToInt(x), clampToInt(y), width, height});
        lineTextures.push_back(std::move(texture));
    }

    if (style.typewriterCursor) {
        SurfaceHandle surface(SDL_CreateSurface(1, 1, SDL_PIXELFORMAT_ABGR8888));
        if (!surface) throwSdlError();
        const SDL_Color c = style.cursorColor;
        if (!SDL_FillSurfaceRect(surface.get(), nullptr, SDL_MapSurfaceRGBA(surface.get(), c.r, c.g, c.b, c.a))) {
            throwSdlError();
        }
        TextureHandle created(SDL_CreateTextureFromSurface(renderer, surface.get()));
        if (!created) throwSdlError();
        cursorTexture = std::move(created);
        SDL_SetTextureBlendMode(cursorTexture.get(), SDL_BLENDMODE_BLEND);
    }
}

int Text::contentWidth() const {
    int widest = 0;
    for (const auto& rect : lineRects) widest = std::max(widest, rect.w);
    return widest;
}

int Text::contentHeight() const {
    if (lineRects.empty()) return 0;
    const SDL_Rect& last = lineRects.back();
    return clampToInt(static_cast<std::int64_t>(last.y) + last.h - textBox.y);
}

bool Text::isPrepared() const {
    return !lineTextures.empty() && lineTextures.size() == lineRects.size() &&
           std::none_of(lineTextures.begin(), lineTextures.end(), [](const TextureHandle& t) { return !t; });
}

void Text::draw(int offsetX, int offsetY, SDL_FlipMode flip, std::uint8_t alphaFactor, float reveal) {
    try {
        if (display == nullptr || slideWidth < 1 || slideHeight < 1) return;
        SDL_Renderer* renderer = display->renderer();
        if (renderer == nullptr) {
            logError("Text Draw Exception: renderer is null");
            return;
        }
        int outputWidth = 0, outputHeight = 0;
        if (!SDL_GetCurrentRenderOutputSize(renderer, &outputWidth, &outputHeight)) {
            logError(std::string("SDL_GetCurrentRenderOutputSize: ") + SDL_GetError());
            return;
        }
        if (outputWidth < 1 || outputHeight < 1) return;
        const SlideMapping mapping = SlideMapping::forRenderer(renderer, slideWidth, slideHeight);

        if (backgroundColor.a != 0 || style.backgroundBorderWidth > 0) Rectangle::draw(offsetX, offsetY, flip);

        const float shown = reveal > 0.0f ? std::min(reveal, 1.0f) : 0.0f;  // NaN shows nothing
        const LayerTransform* transform = activeLayerTransform;
        const bool typewriterProgress = transform != nullptr && transform->revealKind == reveal::typewriter;
        std::int64_t visible = totalChars;
        if (typewriterProgress) {
            const double progress = std::clamp(std::isnan(transform->reveal) ? 0.0 : transform->reveal, 0.0, 1.0);
            visible = static_cast<std::int64_t>(std::floor(totalChars * progress));
        }

        const std::int64_t lift = static_cast<std::int64_t>(fontSize) * 15 / 100;
        SDL_Point caret{0, 0};
        if (!lineRects.empty()) caret = SDL_Point{lineRects[0].x, lineRects[0].y};
        const std::uint8_t frameAlpha = static_cast<std::uint8_t>(alpha * alphaFactor / 255);
        const bool clipped = style.overflow != "legacy";
        const std::size_t count = std::min(lineRects.size(), lineTextures.size());

        std::int64_t unspent = visible;
        for (std::size_t i = 0; shown > 0.0f && i < count; ++i) {
            SDL_Texture* texture = lineTextures[i].get();
            const SDL_Rect& line = lineRects[i];
            if (texture == nullptr || line.w < 1 || line.h < 1) continue;
            double f = shown;
            if (typewriterProgress && i < charOffsets.size()) {
                const auto& offsets = charOffsets[i];
                const std::int64_t k = std::min<std::int64_t>(unspent, static_cast<std::int64_t>(offsets.size()));
                unspent -= k;
                if (k == 0) continue;
                const int end = offsets[static_cast<std::size_t>(k - 1)];
                caret = SDL_Point{clampToInt(static_cast<std::int64_t>(line.x) + end), line.y};
                const double quotient = static_cast<double>(end) / line.w;
                if (k < static_cast<std::int64_t>(offsets.size()) && quotient < f) f = quotient;
                if (f <= 0.0) continue;
            }

            SDL_SetTextureAlphaMod(texture, frameAlpha);
            SDL_Rect destination{clampToInt(static_cast<std::int64_t>(line.x) + offsetX),
                                 clampToInt(static_cast<std::int64_t>(line.y) + offsetY - lift),
                                 std::clamp(clampToInt(std::ceil(f * line.w)), 1, line.w), line.h};
            double left = 0.0, top = 0.0, width = f, height = 1.0;
            bool skip = false;
            if (clipped) {
                const std::int64_t padding = style.padding;
                const SDL_Rect clip{clampToInt(static_cast<std::int64_t>(textBox.x) + offsetX + padding),
                                    clampToInt(static_cast<std::int64_t>(textBox.y) + offsetY + padding),
                                    clampToInt(static_cast<std::int64_t>(textBox.w) - 2 * padding),
                                    clampToInt(static_cast<std::int64_t>(textBox.h) - 2 * padding)};
                SDL_Rect inside{0, 0, 0, 0};
                if (!SDL_GetRectIntersection(&destination, &clip, &inside)) {
                    skip = true;
                } else {
                    left = (static_cast<double>(inside.x) - destination.x) / line.w;
                    top = (static_cast<double>(inside.y) - destination.y) / line.h;
                    width = static_cast<double>(inside.w) / line.w;
                    height = static_cast<double>(inside.h) / line.h;
                    destination = inside;
                }
            }
            const SDL_Rect mapped = skip ? SDL_Rect{0, 0, 0, 0} : mapSlideRect(mapping, destination);
            if (!skip && mapped.w >= 1 && mapped.h >= 1) {
                float tw = 0, th = 0;
                SDL_GetTextureSize(texture, &tw, &th);
                SDL_FRect source{static_cast<float>(tw * left), static_cast<float>(th * top),
                                 static_cast<float>(tw * width), static_cast<float>(th * height)};
                if (source.w <= 1.0f) source.w = 1.0f;
                if (source.h <= 1.0f) source.h = 1.0f;
                const bool partial = f < 1.0 || clipped;
                const SDL_FRect target{static_cast<float>(mapped.x), static_cast<float>(mapped.y),
                                       static_cast<float>(mapped.w), static_cast<float>(mapped.h)};
                const SDL_FPoint centre{mapped.w / 2.0f, mapped.h / 2.0f};
                if (!drawTexture(renderer, texture, partial ? &source : nullptr, &target, mapping.angle(),
                                 &centre, flip, display->drawSubmitter())) {
                    logError(std::string("SDL_RenderTextureRotated: ") + SDL_GetError());
                }
            }
            SDL_SetTextureAlphaMod(texture, alpha);
        }

        const bool blinkOn = style.cursorBlinkMs > 0 && (clock.ticksMs() / static_cast<std::uint64_t>(style.cursorBlinkMs)) % 2 == 0;
        if (visible < totalChars && cursorTexture && blinkOn) {
            const SDL_Rect cursor{clampToInt(static_cast<std::int64_t>(caret.x) + offsetX),
                                  clampToInt(static_cast<std::int64_t>(caret.y) + offsetY - lift), 2, fontSize};
            const SDL_Rect mapped = mapSlideRect(mapping, cursor);
            if (mapped.w >= 1 && mapped.h >= 1) {
                SDL_SetTextureAlphaMod(cursorTexture.get(), textOpacityAlpha(opacity, alphaFactor));
                const SDL_FRect target{static_cast<float>(mapped.x), static_cast<float>(mapped.y),
                                       static_cast<float>(mapped.w), static_cast<float>(mapped.h)};
                if (!drawTexture(renderer, cursorTexture.get(), nullptr, &target, mapping.angle(), nullptr, flip,
                                 display->drawSubmitter())) {
                    logError(std::string("SDL_RenderTextureRotated: ") + SDL_GetError());
                }
            }
        }
        SDL_SetRenderDrawColor(renderer, 0, 0, 0, 255);
    } catch (const std::exception& error) {
        logError(std::string("Text Draw Exception: ") + error.what());
    }
}

}  // namespace lumetta
