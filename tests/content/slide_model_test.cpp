#include "content/slide_model.h"

#include <gtest/gtest.h>

namespace lumetta {
namespace {

// The player dispatches on the content index; each kind must land on its own number.
TEST(SlideModel, LayerKindFollowsTheContentIndex) {
    const struct {
        LayerContent content;
        LayerKind kind;
    } cases[] = {
        {LayerContent{}, LayerKind::Empty},
        {RectangleLayer{}, LayerKind::Rectangle},
        {EllipseLayer{}, LayerKind::Ellipse},
        {TriangleLayer{}, LayerKind::Triangle},
        {StarLayer{}, LayerKind::Star},
        {TextLayer{}, LayerKind::Text},
        {ImageLayer{}, LayerKind::Image},
        {VideoLayer{}, LayerKind::Video},
        {ticker::SpriteSpec{}, LayerKind::Sprite},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(layerKind(c.content), c.kind);
        EXPECT_EQ(c.content.index(), static_cast<std::size_t>(c.kind));
    }
}

}  // namespace
}  // namespace lumetta
