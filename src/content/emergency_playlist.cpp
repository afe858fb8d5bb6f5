#include "content/emergency_playlist.h"

#include <utility>

namespace lumetta {

namespace {

constexpr std::int32_t SLIDE_WIDTH = 1920;
constexpr std::int32_t SLIDE_HEIGHT = 1080;
constexpr std::int32_t ONE_DAY_SECONDS = 86400;
constexpr std::int32_t TEXT_MARGIN = 120;

}  // namespace

std::unique_ptr<Playlist> buildEmergencyPlaylist(const std::string& directory, const std::string& alertText) {
    auto playlist = std::make_unique<Playlist>();

    Slide slide;
    slide.id = "emergency-message";
    slide.width = SLIDE_WIDTH;
    slide.height = SLIDE_HEIGHT;
    slide.duration = ONE_DAY_SECONDS;
    slide.transitionIn = Transition::None;
    slide.motionEffect = MotionEffect::None;

    SlideLayer background;
    background.width = SLIDE_WIDTH;
    background.height = SLIDE_HEIGHT;
    RectangleLayer rectangle;
    rectangle.color = SDL_Color{153, 0, 0, 255};
    background.content = std::move(rectangle);
    slide.layers.push_back(std::move(background));

    SlideLayer message;
    message.x = TEXT_MARGIN;
    message.y = TEXT_MARGIN;
    message.width = SLIDE_WIDTH - 2 * TEXT_MARGIN;
    message.height = SLIDE_HEIGHT - 2 * TEXT_MARGIN;
    TextLayer text;
    text.content = alertText;
    text.fontFamily = "Lato";
    text.fontSize = 96;
    text.bold = true;
    text.alignment = TextAlignment::Centre;
    text.color = SDL_Color{255, 255, 255, 255};
    text.backgroundColor = SDL_Color{0, 0, 0, 0};
    message.content = std::move(text);
    slide.layers.push_back(std::move(message));

    PlaylistContent content;
    content.name = "Emergency Alert";
    content.slides.push_back(std::move(slide));
    playlist->content = std::move(content);
    playlist->playlistDirectory = directory;
    return playlist;
}

}  // namespace lumetta
