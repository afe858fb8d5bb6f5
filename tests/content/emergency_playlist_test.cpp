#include "content/emergency_playlist.h"

#include <gtest/gtest.h>

namespace lumetta {
namespace {

bool sameColor(SDL_Color a, SDL_Color b) { return a.r == b.r && a.g == b.g && a.b == b.b && a.a == b.a; }

// Layer fields the alert does not set stay as a layer that says nothing about them.
void expectPlainLayer(const SlideLayer& layer) {
    EXPECT_EQ(layer.id, "");
    EXPECT_EQ(layer.animation.preset, "none");
    EXPECT_TRUE(layer.animation.keyframes.empty());
    EXPECT_EQ(layer.geometry.motion.preset, "none");
    EXPECT_FALSE(layer.geometry.stencil.has_value());
    EXPECT_FALSE(layer.geometry.clip.has_value());
    EXPECT_FALSE(layer.geometry.viewport);
}

TEST(EmergencyPlaylist, OneFullScreenSlideWithTheAlertOverDarkRed) {
    for (const std::string alert : {"Evacuate the building now", ""}) {
        SCOPED_TRACE(alert);
        const std::unique_ptr<Playlist> playlist = buildEmergencyPlaylist("/home", alert);
        ASSERT_TRUE(playlist);
        EXPECT_EQ(playlist->baseDirectory, "");
        EXPECT_EQ(playlist->directory(), "/home");
        EXPECT_EQ(playlist->downloadGroupId, 0u);
        EXPECT_EQ(playlist->preparedImageId, 0u);
        EXPECT_EQ(playlist->account(), "");
        EXPECT_EQ(playlist->branch(), "");
        EXPECT_EQ(playlist->name(), "Emergency Alert");
        EXPECT_EQ(playlist->tickerMessageCount(), 0u);
        ASSERT_EQ(playlist->slideCount(), 1u);

        const Slide& slide = playlist->slideAt(0);
        EXPECT_TRUE(slide.sceneSource.isNull());
        EXPECT_EQ(slide.id, "emergency-message");
        EXPECT_EQ(slide.width, 1920);
        EXPECT_EQ(slide.height, 1080);
        EXPECT_EQ(slide.duration, 86400);
        EXPECT_EQ(slide.transitionIn, Transition::None);
        EXPECT_EQ(slide.motionEffect, MotionEffect::None);
        ASSERT_EQ(slide.layers.size(), 2u);

        const SlideLayer& background = slide.layers[0];
        EXPECT_EQ(layerKind(background.content), LayerKind::Rectangle);
        EXPECT_EQ(background.x, 0);
        EXPECT_EQ(background.y, 0);
        EXPECT_EQ(background.width, 1920);
        EXPECT_EQ(background.height, 1080);
        expectPlainLayer(background);
        const RectangleLayer& rectangle = std::get<RectangleLayer>(background.content);
        EXPECT_TRUE(sameColor(rectangle.color, {153, 0, 0, 255}));
        EXPECT_EQ(rectangle.opacity, 1.0f);
        EXPECT_EQ(rectangle.options.borderWidth, 0.0f);
        EXPECT_EQ(rectangle.options.gradient, "none");
        EXPECT_FALSE(rectangle.options.shadow);

        const SlideLayer& message = slide.layers[1];
        EXPECT_EQ(layerKind(message.content), LayerKind::Text);
        EXPECT_EQ(message.x, 120);
        EXPECT_EQ(message.y, 120);
        EXPECT_EQ(message.width, 1680);
        EXPECT_EQ(message.height, 840);
        expectPlainLayer(message);
        const TextLayer& text = std::get<TextLayer>(message.content);
        EXPECT_EQ(text.content, alert);
        EXPECT_EQ(text.fontFamily, "Lato");
        EXPECT_EQ(text.fontSize, 96);
        EXPECT_TRUE(text.bold);
        EXPECT_FALSE(text.italic);
        EXPECT_FALSE(text.underline);
        EXPECT_EQ(text.alignment, TextAlignment::Centre);
        EXPECT_TRUE(sameColor(text.color, {255, 255, 255, 255}));
        EXPECT_TRUE(sameColor(text.backgroundColor, {0, 0, 0, 0}));
        EXPECT_EQ(text.opacity, 1.0f);
        EXPECT_EQ(text.style.overflow, "legacy");
        EXPECT_EQ(text.style.verticalAlignment, "top");
        EXPECT_FALSE(text.style.shadow);
        EXPECT_TRUE(text.style.highlights.empty());
        EXPECT_NO_THROW(text.style.validate());
    }
}

}  // namespace
}  // namespace lumetta
