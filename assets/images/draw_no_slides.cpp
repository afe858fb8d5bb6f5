// Draws the built-in picture shown for a playlist without slides and writes it as an 8-bit
// RGB PNG: on black, a white outlined picture icon (a sun over two mountains) with a round
// white badge holding a black cross at its lower right, above the caption in white capitals.
//
//   draw_no_slides <bold font .ttf> <output .png>
//
// The program embeds the PNG it writes (assets/images/no-slides.png); run this again only to
// change the artwork.

#include <SDL3/SDL.h>
#include <SDL3_ttf/SDL_ttf.h>

#include <cstdio>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>
#include <vector>

namespace {

constexpr int WIDTH = 1672;
constexpr int HEIGHT = 941;
const cv::Scalar WHITE(255, 255, 255);
const cv::Scalar BLACK(0, 0, 0);

void roundedFrame(cv::Mat& canvas, cv::Rect r, int radius, int thickness) {
    const int t = thickness;
    cv::line(canvas, {r.x + radius, r.y}, {r.x + r.width - radius, r.y}, WHITE, t, cv::LINE_AA);
    cv::line(canvas, {r.x + radius, r.y + r.height}, {r.x + r.width - radius, r.y + r.height}, WHITE, t, cv::LINE_AA);
    cv::line(canvas, {r.x, r.y + radius}, {r.x, r.y + r.height - radius}, WHITE, t, cv::LINE_AA);
    cv::line(canvas, {r.x + r.width, r.y + radius}, {r.x + r.width, r.y + r.height - radius}, WHITE, t, cv::LINE_AA);
    const cv::Size arc(radius, radius);
    cv::ellipse(canvas, {r.x + radius, r.y + radius}, arc, 180, 0, 90, WHITE, t, cv::LINE_AA);
    cv::ellipse(canvas, {r.x + r.width - radius, r.y + radius}, arc, 270, 0, 90, WHITE, t, cv::LINE_AA);
    cv::ellipse(canvas, {r.x + r.width - radius, r.y + r.height - radius}, arc, 0, 0, 90, WHITE, t, cv::LINE_AA);
    cv::ellipse(canvas, {r.x + radius, r.y + r.height - radius}, arc, 90, 0, 90, WHITE, t, cv::LINE_AA);
}

bool caption(cv::Mat& canvas, const char* fontPath, const char* text, int centreY) {
    TTF_Font* font = TTF_OpenFont(fontPath, 78);
    if (!font) return false;
    SDL_Surface* rendered = TTF_RenderText_Blended(font, text, 0, SDL_Color{255, 255, 255, 255});
    TTF_CloseFont(font);
    if (!rendered) return false;
    SDL_Surface* rgba = SDL_ConvertSurface(rendered, SDL_PIXELFORMAT_ABGR8888);
    SDL_DestroySurface(rendered);
    if (!rgba) return false;
    const int left = (WIDTH - rgba->w) / 2;
    const int top = centreY - rgba->h / 2;
    for (int y = 0; y < rgba->h; ++y) {
        const auto* row = static_cast<const unsigned char*>(rgba->pixels) + y * rgba->pitch;
        for (int x = 0; x < rgba->w; ++x) {
            const int cx = left + x, cy = top + y;
            if (cx < 0 || cy < 0 || cx >= WIDTH || cy >= HEIGHT) continue;
            const double a = row[x * 4 + 3] / 255.0;
            auto& px = canvas.at<cv::Vec3b>(cy, cx);
            for (int c = 0; c < 3; ++c) px[c] = static_cast<unsigned char>(px[c] * (1 - a) + 255 * a + 0.5);
        }
    }
    SDL_DestroySurface(rgba);
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: %s <bold font .ttf> <output .png>\n", argv[0]);
        return 2;
    }
    if (!TTF_Init()) {
        std::fprintf(stderr, "TTF_Init failed: %s\n", SDL_GetError());
        return 1;
    }
    cv::Mat canvas(HEIGHT, WIDTH, CV_8UC3, BLACK);

    // The picture icon: a rounded frame with a sun and two mountains.
    const cv::Rect frame(WIDTH / 2 - 210, 150, 420, 320);
    roundedFrame(canvas, frame, 36, 16);
    cv::circle(canvas, {frame.x + 316, frame.y + 82}, 36, WHITE, cv::FILLED, cv::LINE_AA);
    const int base = frame.y + frame.height - 52;
    const std::vector<cv::Point> mountains{{frame.x + 48, base},        {frame.x + 156, frame.y + 118},
                                           {frame.x + 222, base - 70},  {frame.x + 262, base - 118},
                                           {frame.x + 326, base}};
    cv::polylines(canvas, mountains, true, WHITE, 14, cv::LINE_AA);

    // The badge: a white disc, set off from the frame by a black ring, with a black cross.
    const cv::Point badge(frame.x + frame.width - 6, frame.y + frame.height - 6);
    cv::circle(canvas, badge, 88, BLACK, cv::FILLED, cv::LINE_AA);
    cv::circle(canvas, badge, 72, WHITE, cv::FILLED, cv::LINE_AA);
    const int arm = 30;
    cv::line(canvas, badge + cv::Point(-arm, -arm), badge + cv::Point(arm, arm), BLACK, 18, cv::LINE_AA);
    cv::line(canvas, badge + cv::Point(-arm, arm), badge + cv::Point(arm, -arm), BLACK, 18, cv::LINE_AA);

    if (!caption(canvas, argv[1], "NO SLIDES ON PLAYLIST", 700)) {
        std::fprintf(stderr, "caption failed: %s\n", SDL_GetError());
        return 1;
    }
    TTF_Quit();
    if (!cv::imwrite(argv[2], canvas, {cv::IMWRITE_PNG_COMPRESSION, 9})) {
        std::fprintf(stderr, "could not write %s\n", argv[2]);
        return 1;
    }
    return 0;
}
