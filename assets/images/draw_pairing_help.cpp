// Draws the built-in picture the pairing panel shows while a remote control is being paired
// and writes it as an 8-bit RGB PNG: on black, a white outlined remote control with a blinking
// orange light and the Bluetooth mark at its left, the title and three short steps at its
// right, and an orange rule under the title (the overlays' accent colour).
//
//   draw_pairing_help <bold font .ttf> <regular font .ttf> <output .png>
//
// The program embeds the PNG it writes (assets/images/pairing-help.png); run this again only to
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
const cv::Scalar GREY(150, 150, 150);
const cv::Scalar ORANGE(0, 128, 255);  // blue, green, red
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

// Text with its top-left corner at (left, top), blended onto the canvas.
bool text(cv::Mat& canvas, TTF_Font* font, const char* line, int left, int top, SDL_Color colour) {
    SDL_Surface* rendered = TTF_RenderText_Blended(font, line, 0, colour);
    if (!rendered) return false;
    SDL_Surface* rgba = SDL_ConvertSurface(rendered, SDL_PIXELFORMAT_ABGR8888);
    SDL_DestroySurface(rendered);
    if (!rgba) return false;
    for (int y = 0; y < rgba->h; ++y) {
        const auto* row = static_cast<const unsigned char*>(rgba->pixels) + y * rgba->pitch;
        for (int x = 0; x < rgba->w; ++x) {
            const int cx = left + x, cy = top + y;
            if (cx < 0 || cy < 0 || cx >= WIDTH || cy >= HEIGHT) continue;
            const double a = row[x * 4 + 3] / 255.0;
            auto& px = canvas.at<cv::Vec3b>(cy, cx);
            // ABGR8888 is R, G, B, A in memory; the canvas is B, G, R.
            for (int c = 0; c < 3; ++c) {
                px[c] = static_cast<unsigned char>(px[c] * (1 - a) + row[x * 4 + (2 - c)] * a + 0.5);
            }
        }
    }
    SDL_DestroySurface(rgba);
    return true;
}

void remoteControl(cv::Mat& canvas) {
    const cv::Rect body(250, 150, 230, 640);
    roundedFrame(canvas, body, 60, 14);
    const int cx = body.x + body.width / 2;
    // The light, blinking: a dot with two arcs each side.
    cv::circle(canvas, {cx, body.y + 70}, 16, ORANGE, cv::FILLED, cv::LINE_AA);
    for (int r : {38, 62}) {
        cv::ellipse(canvas, {cx, body.y + 70}, {r, r}, 0, -140, -40, ORANGE, 8, cv::LINE_AA);
    }
    // The ring of the arrow keys with its middle button.
    cv::circle(canvas, {cx, body.y + 250}, 78, WHITE, 12, cv::LINE_AA);
    cv::circle(canvas, {cx, body.y + 250}, 30, WHITE, cv::FILLED, cv::LINE_AA);
    // Two rows of round keys.
    for (int row = 0; row < 2; ++row) {
        for (int col = -1; col <= 1; col += 2) {
            cv::circle(canvas, {cx + col * 55, body.y + 420 + row * 100}, 28, WHITE, 10, cv::LINE_AA);
        }
    }
}

void bluetoothMark(cv::Mat& canvas, cv::Point centre) {
    cv::circle(canvas, centre, 92, ORANGE, cv::FILLED, cv::LINE_AA);
    const int h = 56, w = 30;
    const std::vector<cv::Point> rune{{centre.x - w, centre.y - h / 2}, {centre.x + w, centre.y + h / 2},
                                      {centre.x, centre.y + h},         {centre.x, centre.y - h},
                                      {centre.x + w, centre.y - h / 2}, {centre.x - w, centre.y + h / 2}};
    cv::polylines(canvas, rune, false, WHITE, 12, cv::LINE_AA);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 4) {
        std::fprintf(stderr, "usage: %s <bold font .ttf> <regular font .ttf> <output .png>\n", argv[0]);
        return 2;
    }
    if (!TTF_Init()) {
        std::fprintf(stderr, "TTF_Init failed: %s\n", SDL_GetError());
        return 1;
    }
    cv::Mat canvas(HEIGHT, WIDTH, CV_8UC3, BLACK);
    remoteControl(canvas);
    bluetoothMark(canvas, {600, 250});

    TTF_Font* bold = TTF_OpenFont(argv[1], 60);
    TTF_Font* regular = TTF_OpenFont(argv[2], 42);
    if (!bold || !regular) {
        std::fprintf(stderr, "fonts failed: %s\n", SDL_GetError());
        return 1;
    }
    const SDL_Color white{255, 255, 255, 255};
    const SDL_Color orange{255, 128, 0, 255};
    const int left = 740;
    bool ok = text(canvas, bold, "PAIR A REMOTE CONTROL", left, 170, white);
    cv::rectangle(canvas, cv::Rect(left, 270, 640, 10), ORANGE, cv::FILLED);
    const char* steps[][2] = {
        {"1", "Hold the remote's pairing buttons"},
        {"", "until its light starts blinking."},
        {"2", "Keep it close to the screen."},
        {"3", "This screen closes by itself"},
        {"", "once the remote is paired."},
    };
    int top = 340;
    for (const auto& step : steps) {
        if (step[0][0] != '\0') {
            if (top > 340) top += 30;
            ok = ok && text(canvas, bold, step[0], left, top - 14, orange);
        }
        ok = ok && text(canvas, regular, step[1], left + 70, top, white);
        top += 62;
    }
    TTF_CloseFont(bold);
    TTF_CloseFont(regular);
    TTF_Quit();
    if (!ok) {
        std::fprintf(stderr, "text failed: %s\n", SDL_GetError());
        return 1;
    }
    if (!cv::imwrite(argv[3], canvas, {cv::IMWRITE_PNG_COMPRESSION, 9})) {
        std::fprintf(stderr, "could not write %s\n", argv[3]);
        return 1;
    }
    return 0;
}
