#pragma once
// What the scenarios play: small media made at test time with the ffmpeg tool, and playlist
// documents of slides that each fill the screen with a colour of their own, so that a frame read
// back tells which slide is on screen.

#include <filesystem>
#include <string>
#include <vector>

#include "player_process.h"

namespace lumetta::testing {

// The colour each kind of slide shows over most of the screen.
inline constexpr Frame::Color kImageColor{200, 50, 20};
inline constexpr Frame::Color kTextBackground{128, 0, 128};
inline constexpr Frame::Color kShapeColor{0, 192, 0};
inline constexpr Frame::Color kVideoColor{32, 64, 192};

// A PNG of one colour (default: the image slide's).
std::filesystem::path makeImage(const std::filesystem::path& file, Frame::Color color = kImageColor);
// H.264 with AAC sound in MP4, of one colour (default: the video slide's), `seconds` long.
std::filesystem::path makeClip(const std::filesystem::path& file, double seconds = 2.0, Frame::Color color = kVideoColor);

// One full-slide layer of a 1920x1080 slide.
struct SlideSpec {
    std::string id;
    std::string layer;     // the layer's JSON object text, without x, y, width and height
    int duration = 3;      // seconds
};

SlideSpec imageSlide(const std::string& id, const std::string& file, const std::string& sha1, int duration = 3);
SlideSpec textSlide(const std::string& id, const std::string& content, int duration = 3);
SlideSpec shapeSlide(const std::string& id, Frame::Color color = kShapeColor, int duration = 3);
SlideSpec videoSlide(const std::string& id, const std::string& file, const std::string& sha1, int duration = 3);

// A complete playlist document of account "acme", branch "main".
std::string playlistDocument(const std::string& name, const std::vector<SlideSpec>& slides);

// "#RRGGBB".
std::string hexColor(Frame::Color color);

}  // namespace lumetta::testing
