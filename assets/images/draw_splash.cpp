// Draws the built-in start-up picture and writes it as an XPM of 1920 x 1080 pixels in three
// colours, one character a pixel: " " transparent, "." orange (#F07F14), "+" white. An orange
// disc holding a white play sign, the name "lumetta" in white below it and a short orange bar
// under the name. Everything lies above y = 840, so the information lines and the pairing block
// at the bottom of the screen never cover it.
//
//   draw_splash <bold font .ttf> <output .xpm>
//
// The program compiles in the XPM it writes (assets/images/splash.xpm); run this again only to
// change the artwork. The edges are hard (no anti-aliasing): the format holds three colours.

#include <SDL3/SDL.h>
#include <SDL3_ttf/SDL_ttf.h>

#include <cstdio>
#include <opencv2/imgproc.hpp>
#include <string>
#include <vector>

namespace {

constexpr int WIDTH = 1920;
constexpr int HEIGHT = 1080;
// Labels of the canvas; each becomes one XPM character.
constexpr unsigned char NONE = 0;
constexpr unsigned char ORANGE = 1;
constexpr unsigned char WHITE = 2;
constexpr char SYMBOLS[] = {' ', '.', '+'};

// The name in white, centred on (centreX, centreY); a glyph pixel counts from half coverage on.
bool wordmark(cv::Mat& canvas, const char* fontPath, const char* text, int size, int centreX, int centreY) {
    TTF_Font* font = TTF_OpenFont(fontPath, static_cast<float>(size));
    if (!font) return false;
    SDL_Surface* rendered = TTF_RenderText_Blended(font, text, 0, SDL_Color{255, 255, 255, 255});
    TTF_CloseFont(font);
    if (!rendered) return false;
    SDL_Surface* rgba = SDL_ConvertSurface(rendered, SDL_PIXELFORMAT_ABGR8888);
    SDL_DestroySurface(rendered);
    if (!rgba) return false;
    const int left = centreX - rgba->w / 2;
    const int top = centreY - rgba->h / 2;
    for (int y = 0; y < rgba->h; ++y) {
        const auto* row = static_cast<const unsigned char*>(rgba->pixels) + y * rgba->pitch;
        for (int x = 0; x < rgba->w; ++x) {
            const int cx = left + x, cy = top + y;
            if (cx < 0 || cy < 0 || cx >= WIDTH || cy >= HEIGHT) continue;
            if (row[x * 4 + 3] >= 128) canvas.at<unsigned char>(cy, cx) = WHITE;
        }
    }
    SDL_DestroySurface(rgba);
    return true;
}

bool writeXpm(const cv::Mat& canvas, const char* path) {
    std::FILE* out = std::fopen(path, "w");
    if (!out) return false;
    std::fprintf(out, "/* XPM */\nstatic const char* const splash_xpm[] = {\n");
    std::fprintf(out, "\"%d %d 3 1\",\n\"  c None\",\n\". c #F07F14\",\n\"+ c #FFFFFF\",\n", WIDTH, HEIGHT);
    std::string row(WIDTH, ' ');
    for (int y = 0; y < HEIGHT; ++y) {
        for (int x = 0; x < WIDTH; ++x) row[x] = SYMBOLS[canvas.at<unsigned char>(y, x)];
        std::fprintf(out, "\"%s\"%s\n", row.c_str(), y + 1 < HEIGHT ? "," : "");
    }
    std::fprintf(out, "};\n");
    return std::fclose(out) == 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: %s <bold font .ttf> <output .xpm>\n", argv[0]);
        return 2;
    }
    if (!TTF_Init()) {
        std::fprintf(stderr, "TTF_Init failed: %s\n", SDL_GetError());
        return 1;
    }
    cv::Mat canvas(HEIGHT, WIDTH, CV_8UC1, cv::Scalar(NONE));

    // The disc with the play sign, its centroid on the disc's centre.
    const cv::Point centre(960, 400);
    cv::circle(canvas, centre, 210, cv::Scalar(ORANGE), cv::FILLED, cv::LINE_8);
    const std::vector<cv::Point> play{{900, 290}, {900, 510}, {1080, 400}};
    cv::fillConvexPoly(canvas, play, cv::Scalar(WHITE), cv::LINE_8);

    if (!wordmark(canvas, argv[1], "lumetta", 150, 960, 730)) {
        std::fprintf(stderr, "wordmark failed: %s\n", SDL_GetError());
        return 1;
    }
    cv::rectangle(canvas, cv::Rect(860, 808, 200, 12), cv::Scalar(ORANGE), cv::FILLED, cv::LINE_8);
    TTF_Quit();

    if (!writeXpm(canvas, argv[2])) {
        std::fprintf(stderr, "could not write %s\n", argv[2]);
        return 1;
    }
    return 0;
}
