// Full-screen shape rasterisation: the work a shape's constructor does once per slide.

#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstdlib>
#include <memory>
#include <optional>
#include <vector>

#include "display/display.h"
#include "objects/rectangle.h"
#include "objects/shape_raster.h"

namespace {

using namespace lumetta;

constexpr int kWidth = 1920;
constexpr int kHeight = 1080;

struct Canvas {
    std::vector<std::uint32_t> pixels;
    PixelRows rows;
    Canvas(int w, int h) : pixels(static_cast<std::size_t>(w) * h) {
        rows = PixelRows{pixels.data(), w, h, static_cast<std::ptrdiff_t>(w) * 4};
    }
};

void setPixels(benchmark::State& state, const Canvas& canvas) {
    state.counters["Mpixel/s"] = benchmark::Counter(static_cast<double>(canvas.rows.width) * canvas.rows.height,
                                                    benchmark::Counter::kIsIterationInvariantRate,
                                                    benchmark::Counter::kIs1000);
}

RectangleRaster fullRectangle() {
    RectangleRaster shape;
    shape.width = kWidth;
    shape.height = kHeight;
    shape.color = SDL_Color{30, 90, 200, 255};
    shape.radii[0] = shape.radii[1] = shape.radii[2] = shape.radii[3] = 48;
    shape.borderColor = SDL_Color{255, 255, 255, 255};
    shape.borderWidth = 6;
    shape.blur = 4;
    shape.shadow = true;
    shape.shadowBlur = 8;
    shape.shadowOffsetX = 4;
    shape.shadowOffsetY = 4;
    shape.margin = 12;  // ceil(8 + 4)
    return shape;
}

void BM_RectangleRoundedBorderBlurShadow(benchmark::State& state) {
    const RectangleRaster shape = fullRectangle();
    Canvas canvas(kWidth + 2 * shape.margin, kHeight + 2 * shape.margin);
    for (auto _ : state) {
        rasterizeRectangle(shape, canvas.rows);
        benchmark::DoNotOptimize(canvas.pixels.data());
    }
    setPixels(state, canvas);
}
BENCHMARK(BM_RectangleRoundedBorderBlurShadow)->Unit(benchmark::kMillisecond)->MeasureProcessCPUTime()->UseRealTime();

void BM_RectangleLinearGradient(benchmark::State& state) {
    RectangleRaster shape = fullRectangle();
    shape.gradient = ShapeGradient::Linear;
    shape.gradientAngle = 30;
    Canvas canvas(kWidth + 2 * shape.margin, kHeight + 2 * shape.margin);
    for (auto _ : state) {
        rasterizeRectangle(shape, canvas.rows);
        benchmark::DoNotOptimize(canvas.pixels.data());
    }
    setPixels(state, canvas);
}
BENCHMARK(BM_RectangleLinearGradient)->Unit(benchmark::kMillisecond)->MeasureProcessCPUTime()->UseRealTime();

void BM_Triangle(benchmark::State& state) {
    TriangleRaster shape;
    shape.color = SDL_Color{200, 40, 40, 255};
    shape.borderColor = SDL_Color{0, 0, 0, 255};
    shape.borderWidth = 6;
    placeTriangle(shape, kWidth, kHeight, TriangleDirection::Up, TriangleType::Isosceles, 0.5);
    Canvas canvas(kWidth, kHeight);
    for (auto _ : state) {
        rasterizeTriangle(shape, canvas.rows);
        benchmark::DoNotOptimize(canvas.pixels.data());
    }
    setPixels(state, canvas);
}
BENCHMARK(BM_Triangle)->Unit(benchmark::kMillisecond)->MeasureProcessCPUTime()->UseRealTime();

void ellipse(benchmark::State& state, EllipseMode mode) {
    EllipseRaster shape;
    shape.mode = mode;
    shape.color = SDL_Color{40, 200, 90, 255};
    shape.borderColor = SDL_Color{0, 0, 0, 255};
    shape.borderWidth = 6;
    shape.ringWidth = 120;
    shape.startAngle = 30;
    shape.endAngle = 300;
    shape.gradient = ShapeGradient::Radial;
    shape.feather = 3;
    Canvas canvas(kWidth, kHeight);
    for (auto _ : state) {
        rasterizeEllipse(shape, canvas.rows);
        benchmark::DoNotOptimize(canvas.pixels.data());
    }
    setPixels(state, canvas);
}
void BM_EllipseFill(benchmark::State& state) { ellipse(state, EllipseMode::Fill); }
void BM_EllipseRing(benchmark::State& state) { ellipse(state, EllipseMode::Ring); }
void BM_EllipsePie(benchmark::State& state) { ellipse(state, EllipseMode::Pie); }
void BM_EllipseArc(benchmark::State& state) { ellipse(state, EllipseMode::Arc); }
BENCHMARK(BM_EllipseFill)->Unit(benchmark::kMillisecond)->MeasureProcessCPUTime()->UseRealTime();
BENCHMARK(BM_EllipseRing)->Unit(benchmark::kMillisecond)->MeasureProcessCPUTime()->UseRealTime();
BENCHMARK(BM_EllipsePie)->Unit(benchmark::kMillisecond)->MeasureProcessCPUTime()->UseRealTime();
BENCHMARK(BM_EllipseArc)->Unit(benchmark::kMillisecond)->MeasureProcessCPUTime()->UseRealTime();

void BM_Star(benchmark::State& state) {
    const std::vector<double> outline = starOutline(static_cast<int>(state.range(0)), 0.5, {});
    StarRaster shape;
    shape.outline = &outline;
    shape.color = SDL_Color{250, 200, 0, 255};
    Canvas canvas(kWidth, kHeight);
    for (auto _ : state) {
        rasterizeStar(shape, canvas.rows);
        benchmark::DoNotOptimize(canvas.pixels.data());
    }
    setPixels(state, canvas);
}
BENCHMARK(BM_Star)->Arg(5)->Arg(128)->Unit(benchmark::kMillisecond)->MeasureProcessCPUTime()->UseRealTime();

// The whole constructor: checks, rasterising, and the texture made from the surface, on a
// headless 1920 x 1080 window with the software renderer.
void BM_RectangleConstructor(benchmark::State& state) {
    setenv("SDL_VIDEO_DRIVER", "offscreen", 0);
    setenv("SDL_RENDER_DRIVER", "software", 0);
    setenv("SDL_FRAMEBUFFER_ACCELERATION", "0", 0);
    std::unique_ptr<Display> display;
    try {
        display = std::make_unique<Display>("", "bench", -1, -1, kWidth, kHeight, false, std::nullopt);
    } catch (const std::exception& error) {
        state.SkipWithError(error.what());
        return;
    }
    RectangleStyle style;
    style.cornerRadius = 48;
    style.borderColor = SDL_Color{255, 255, 255, 255};
    style.borderWidth = 6;
    style.blur = 4;
    style.shadow = true;
    for (auto _ : state) {
        Rectangle shape(display.get(), kWidth, kHeight, SDL_Rect{0, 0, 0, 0}, SDL_Color{30, 90, 200, 255}, style, 1);
        benchmark::DoNotOptimize(shape.textureHandle());
    }
}
BENCHMARK(BM_RectangleConstructor)->Unit(benchmark::kMillisecond)->MeasureProcessCPUTime()->UseRealTime();

}  // namespace
