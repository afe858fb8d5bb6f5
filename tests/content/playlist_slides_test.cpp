#include "content/playlist_slides.h"

#include <gtest/gtest.h>
#include <json/json.h>

#include <sstream>
#include <string>

namespace lumetta {
namespace {

Json::Value parse(const std::string& text) {
    Json::Value value;
    std::istringstream in(text);
    in >> value;
    return value;
}

bool sameColor(SDL_Color a, SDL_Color b) { return a.r == b.r && a.g == b.g && a.b == b.b && a.a == b.a; }

std::vector<DownloadTask> drain(ThreadSafeQueue& queue) {
    std::vector<DownloadTask> tasks;
    DownloadTask task;
    while (queue.queuedTaskCount() > 0 && queue.pop(task)) tasks.push_back(task);
    return tasks;
}

struct SlideReading : ::testing::Test {
    std::vector<Slide> read(const std::string& slidesJson) { return readSlides(parse(slidesJson), destination); }

    PreparedImageCache cache;
    ThreadSafeQueue queue{cache};
    MediaDestination destination{&queue, "https://service.test:8443", "/data/lumetta/a/b/P", 7};
};

TEST_F(SlideReading, SlideMembersAndTheirDefaults) {
    const std::vector<Slide> slides = read(R"([
        {"id": "plain", "width": 1920, "height": 1080, "duration": "0", "layers": []},
        {"id": "named", "width": "640", "height": 480, "duration": 5, "layers": [],
         "transitionIn": "ripple", "motionEffect": "pan-left"},
        {"id": "indexed", "width": 1, "height": 1, "duration": 0, "layers": [],
         "transitionIn": {"id": 33}, "motionEffect": "14"},
        {"id": "nulls", "width": 1, "height": 1, "duration": 0, "layers": [],
         "transitionIn": null, "motionEffect": null, "scene": null},
        {"id": "unknown", "width": 1, "height": 1, "duration": 0, "layers": [],
         "transitionIn": "swirl", "motionEffect": "Pan-left", "scene": {"kind": "stars"}}
    ])");
    ASSERT_EQ(slides.size(), 5u);
    struct Expected {
        std::string id;
        int width, height, duration;
        std::string transition, motion;
        bool scene;
    };
    const Expected expected[] = {
        {"plain", 1920, 1080, 0, "random", "none", false},
        {"named", 640, 480, 5, "ripple", "pan-left", false},
        {"indexed", 1, 1, 0, "ripple", "ken-burns-down-right", false},
        {"nulls", 1, 1, 0, "random", "none", false},
        {"unknown", 1, 1, 0, "random", "none", true},
    };
    for (std::size_t i = 0; i < slides.size(); ++i) {
        const Slide& slide = slides[i];
        const Expected& e = expected[i];
        EXPECT_EQ(slide.id, e.id);
        EXPECT_EQ(slide.width, e.width) << e.id;
        EXPECT_EQ(slide.height, e.height) << e.id;
        EXPECT_EQ(slide.duration, e.duration) << e.id;
        EXPECT_EQ(transitionName(slide.transitionIn), e.transition) << e.id;
        EXPECT_EQ(motionEffectName(slide.motionEffect), e.motion) << e.id;
        EXPECT_EQ(slide.sceneSource.isObject(), e.scene) << e.id;
        EXPECT_TRUE(slide.layers.empty());
    }
    EXPECT_EQ(slides[4].sceneSource["scene"]["kind"].asString(), "stars");
    EXPECT_EQ(queue.queuedTaskCount(), 0u);
}

TEST_F(SlideReading, ShapeAndTextLayers) {
    const std::vector<Slide> slides = read(R"([{"id": "s", "width": 1920, "height": 1080, "duration": 10, "layers": [
        {"id": "r", "x": -5, "y": 7, "width": 100, "height": 50, "rectangle": {}},
        {"x": 0, "y": 0, "width": 1, "height": 1, "square": {"color": "#ff8000", "opacity": 0.25,
            "borderColor": "00FF0080", "shadowColor": "#0000ff"}},
        {"x": 0, "y": 0, "width": 1, "height": 1, "circle": {"color": "FFFFFF"}},
        {"x": 0, "y": 0, "width": 1, "height": 1, "triangle": {"direction": "left", "borderWidth": 2,
            "rotation": 45, "tipPosition": 0.25}},
        {"x": 0, "y": 0, "width": 1, "height": 1, "star": {"points": 3, "pointHeight": 0.3,
            "pointLengths": [1, 0.5, 0.25]}},
        {"x": 0, "y": 0, "width": 100, "height": 100, "text": {"content": "Hi", "font-size": "24",
            "font": "Lato", "alignment": "Centre", "bold": "true", "italic": true, "underline": "TRUE",
            "color": "#102030", "background-color": "#40506070"}},
        {"x": 0, "y": 0, "width": 100, "height": 100, "text": {"content": "", "font-size": 1,
            "font": "lato", "alignment": "Right", "bold": 1, "italic": "yes"}},
        {"x": 0, "y": 0, "width": 100, "height": 100, "text": {"content": "x", "font-size": 1, "alignment": "centre"}}
    ]}])");
    ASSERT_EQ(slides.size(), 1u);
    const std::vector<SlideLayer>& layers = slides[0].layers;
    ASSERT_EQ(layers.size(), 8u);

    EXPECT_EQ(layers[0].id, "r");
    EXPECT_EQ(layers[0].x, -5);
    EXPECT_EQ(layers[0].y, 7);
    EXPECT_EQ(layers[0].width, 100);
    EXPECT_EQ(layers[0].height, 50);
    EXPECT_EQ(layers[0].geometry.canvasWidth, 1920);
    ASSERT_EQ(layerKind(layers[0].content), LayerKind::Rectangle);
    const auto& plain = std::get<RectangleLayer>(layers[0].content);
    EXPECT_TRUE(sameColor(plain.color, {0, 0, 0, 255}));
    EXPECT_FLOAT_EQ(plain.opacity, 1.0f);
    EXPECT_TRUE(sameColor(plain.options.borderColor, {0, 0, 0, 255}));
    EXPECT_TRUE(sameColor(plain.options.gradientColor, {255, 255, 255, 255}));

    const auto& square = std::get<RectangleLayer>(layers[1].content);
    EXPECT_TRUE(sameColor(square.color, {255, 128, 0, 255}));
    EXPECT_FLOAT_EQ(square.opacity, 0.25f);
    EXPECT_TRUE(sameColor(square.options.borderColor, {0, 255, 0, 128}));
    EXPECT_TRUE(sameColor(square.options.shadowColor, {0, 0, 255, 255}));

    ASSERT_EQ(layerKind(layers[2].content), LayerKind::Ellipse);
    EXPECT_TRUE(sameColor(std::get<EllipseLayer>(layers[2].content).color, {255, 255, 255, 255}));
    EXPECT_TRUE(sameColor(std::get<EllipseLayer>(layers[2].content).options.gradientColor, {255, 255, 255, 255}));

    const auto& triangle = std::get<TriangleLayer>(layers[3].content);
    EXPECT_EQ(triangle.direction, TriangleDirection::Left);
    EXPECT_EQ(triangle.type, TriangleType::Isosceles);
    EXPECT_FLOAT_EQ(triangle.borderWidth, 2.0f);
    EXPECT_DOUBLE_EQ(triangle.rotation, 45.0);
    EXPECT_FLOAT_EQ(triangle.tipPosition, 0.25f);

    const auto& star = std::get<StarLayer>(layers[4].content);
    EXPECT_EQ(star.points, 3);
    EXPECT_FLOAT_EQ(star.pointHeight, 0.3f);
    EXPECT_EQ(star.pointLengths, (std::vector<float>{1.0f, 0.5f, 0.25f}));

    const auto& text = std::get<TextLayer>(layers[5].content);
    EXPECT_EQ(text.content, "Hi");
    EXPECT_EQ(text.fontSize, 24);
    EXPECT_EQ(text.fontFamily, "Lato");
    EXPECT_EQ(text.alignment, TextAlignment::Centre);
    EXPECT_TRUE(text.bold);
    EXPECT_TRUE(text.italic);
    EXPECT_FALSE(text.underline);
    EXPECT_TRUE(sameColor(text.color, {0x10, 0x20, 0x30, 255}));
    EXPECT_TRUE(sameColor(text.backgroundColor, {0x40, 0x50, 0x60, 0x70}));

    const auto& other = std::get<TextLayer>(layers[6].content);
    EXPECT_EQ(other.fontFamily, "Liberation Sans");
    EXPECT_EQ(other.alignment, TextAlignment::Right);
    EXPECT_FALSE(other.bold);
    EXPECT_FALSE(other.italic);
    EXPECT_EQ(std::get<TextLayer>(layers[7].content).alignment, TextAlignment::Left);
    EXPECT_EQ(std::get<TextLayer>(layers[7].content).fontFamily, "Liberation Sans");
    EXPECT_EQ(queue.queuedTaskCount(), 0u);
}

TEST_F(SlideReading, MediaLayersAreQueuedInTheirOrder) {
    std::string slidesJson = "[";
    for (int i = 0; i < 10; ++i) {
        const std::string n = std::to_string(i);
        slidesJson += std::string(i ? "," : "") + R"({"id": "s)" + n + R"(", "width": 1920, "height": 1080,
            "duration": 10, "layers": [
            {"x": 0, "y": 0, "width": 640, "height": 360, "image": {"file": "pic)" + n + R"(.png",
                "sha1": "ABCDEF0123456789abcdef0123456789ABCDEF01", "size": "cover", "opacity": 0.5,
                "background-color": "#010203"}},
            {"x": 0, "y": 0, "width": 1280, "height": 720, "video": {"file": "100% #)" + n + R"(.mp4",
                "sha256": ")" + std::string(64, 'C') + R"("}}]})";
    }
    const std::vector<Slide> slides = read(slidesJson + "]");
    ASSERT_EQ(slides.size(), 10u);
    const auto& image = std::get<ImageLayer>(slides[3].layers[0].content);
    EXPECT_EQ(image.file, "pic3.png");
    EXPECT_EQ(image.digest, "abcdef0123456789abcdef0123456789abcdef01");
    EXPECT_EQ(image.fit, ImageFit::Stretch);  // "cover" is no fit of its own
    EXPECT_FLOAT_EQ(image.opacity, 0.5f);
    EXPECT_TRUE(sameColor(image.backgroundColor, {1, 2, 3, 255}));
    const auto& video = std::get<VideoLayer>(slides[3].layers[1].content);
    EXPECT_EQ(video.file, "100% #3.mp4");
    EXPECT_EQ(video.digest, std::string(64, 'c'));

    const std::vector<DownloadTask> tasks = drain(queue);
    ASSERT_EQ(tasks.size(), 20u);
    for (int i = 0; i < 10; ++i) {
        const DownloadTask& picture = tasks[2 * i];
        const DownloadTask& clip = tasks[2 * i + 1];
        const std::string n = std::to_string(i);
        EXPECT_EQ(picture.url, "https://service.test:8443/images/pic" + n + ".png");
        EXPECT_EQ(picture.targetPath, "/data/lumetta/a/b/P/pic" + n + ".png");
        EXPECT_EQ(picture.targetWidth, 640);
        EXPECT_EQ(picture.targetHeight, 360);
        EXPECT_EQ(picture.sha1, "abcdef0123456789abcdef0123456789abcdef01");
        EXPECT_EQ(clip.url, "https://service.test:8443/videos/100%25%20%23" + n + ".mp4");
        EXPECT_EQ(clip.targetPath, "/data/lumetta/a/b/P/100% #" + n + ".mp4");
        EXPECT_EQ(clip.targetWidth, 1280);
        EXPECT_EQ(clip.targetHeight, 720);
        for (const DownloadTask* task : {&picture, &clip}) EXPECT_EQ(task->groupId, 7u);
    }
    ASSERT_TRUE(queue.group(7));
    EXPECT_EQ(queue.group(7)->pending, 20u);
}

// A medium's "size" is read once into how it fills its box, in any letter case.
TEST_F(SlideReading, MediaSizeWordsReadAsFits) {
    const struct {
        const char* size;  // null: no "size" member
        ImageFit fit;
    } cases[] = {{"fit", ImageFit::Fit},     {"FIT", ImageFit::Fit},         {"Crop", ImageFit::Crop},
                 {"crop", ImageFit::Crop},   {"stretch", ImageFit::Stretch}, {"cover", ImageFit::Stretch},
                 {"", ImageFit::Stretch},    {nullptr, ImageFit::Stretch}};
    for (const auto& c : cases) {
        Json::Value media;
        media["file"] = "pic.png";
        media["sha1"] = std::string(40, 'a');
        if (c.size != nullptr) media["size"] = c.size;
        Json::Value slide = parse(R"({"id": "s", "width": 10, "height": 10, "duration": 1, "layers": [
            {"x": 0, "y": 0, "width": 10, "height": 10}, {"x": 0, "y": 0, "width": 10, "height": 10}]})");
        slide["layers"][0]["image"] = media;
        slide["layers"][1]["video"] = media;
        Json::Value slides(Json::arrayValue);
        slides.append(slide);
        const std::vector<Slide> read = readSlides(slides, destination);
        const char* shown = c.size != nullptr ? c.size : "(none)";
        EXPECT_EQ(std::get<ImageLayer>(read[0].layers[0].content).fit, c.fit) << shown;
        EXPECT_EQ(std::get<VideoLayer>(read[0].layers[1].content).fit, c.fit) << shown;
    }
}

TEST_F(SlideReading, AStoppingQueueRefusesTheFirstMedium) {
    queue.stop();
    try {
        read(R"([{"id": "s", "width": 1, "height": 1, "duration": 1, "layers": [
            {"x": 0, "y": 0, "width": 1, "height": 1, "image": {"file": "a.png", "sha1": ")" + std::string(40, 'a') + R"("}}]}])");
        ADD_FAILURE() << "read";
    } catch (const std::runtime_error& error) {
        EXPECT_EQ(std::string(error.what()), "Download queue is stopping");
    }
    EXPECT_EQ(queue.pendingTotal(), 0u);
}

}  // namespace
}  // namespace lumetta
