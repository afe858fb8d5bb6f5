#include <gtest/gtest.h>

#include <stdexcept>
#include <string>

#include "content/json_text.h"
#include "content/slide_document.h"

namespace lumetta {
namespace {

using testing::json;

const std::string sha1 = "\"0123456789abcdef0123456789abcdef01234567\"";
const std::string image = R"({"x": 0, "y": 0, "width": 100, "height": 50, "image": {"file": "a.png", "sha1": )" + sha1 + "}}";

// A document whose first slide holds `layers` (a JSON list body) and `slideExtra` members.
std::string slideDocument(const std::string& layers, const std::string& slideExtra = "") {
    return R"({"account": "acme", "branch": "main", "playlist": "Lobby", "slides": [{"id": "s1", "width": 1920,
        "height": 1080, "duration": 10, "layers": [)" +
           layers + "]" + slideExtra + "}]}";
}

// A document with one layer at 0,0 of 200x100 holding `members`.
std::string layerDocument(const std::string& members) {
    return slideDocument(R"({"x": 0, "y": 0, "width": 200, "height": 100, )" + members + "}");
}

// "" when the document passes, else the message.
std::string check(const std::string& text) {
    std::string message;
    return validatePlaylistContent(json(text), message) ? "" : message;
}

struct Case {
    std::string document;
    std::string message;
};

void expectMessages(const std::vector<Case>& cases) {
    for (const auto& c : cases) EXPECT_EQ(check(c.document), c.message) << c.document;
}

TEST(PlaylistDocument, NamesOfAccountBranchAndPlaylist) {
    std::vector<Case> cases = {
        {R"({"account": "acme", "branch": "main", "playlist": "Lobby"})", ""},
        {R"({"account": "acme", "branch": "main", "playlist": "../a"})", "playlist contains an unsafe path component"},
        {R"({"branch": "main", "playlist": "Lobby"})", "account contains an unsafe path component"},
        {R"({"account": "acme", "branch": "a\\b", "playlist": "Lobby"})", "branch contains an unsafe path component"},
        {R"({"account": "acme", "branch": "..", "playlist": "x"})", "branch contains an unsafe path component"},
        {R"({"account": "acme", "branch": "main", "playlist": "a\u0000b"})",
         "playlist contains an unsafe path component"},
        {R"({"account": "acme", "branch": "main", "playlist": "line\nbreak"})",
         "playlist contains an unsafe path component"},
        {R"({"account": null, "branch": "main", "playlist": "Lobby"})", "account contains an unsafe path component"},
        // The first name decides.
        {R"({"account": "/", "branch": "", "playlist": ".."})", "account contains an unsafe path component"},
        {R"({"account": "acme", "branch": "", "playlist": ".."})", "branch contains an unsafe path component"},
    };
    // An account would turn into a directory in place of one of the player's own files.
    for (const char* reserved :
         {"config.json", "playing.json", "playing.json.new", "orientation", "orientation.png", "screen.json"}) {
        cases.push_back({std::string(R"({"account": ")") + reserved + R"(", "branch": "b", "playlist": "p"})",
                         "account contains an unsafe path component"});
        cases.push_back({std::string(R"({"account": "a", "branch": ")") + reserved + R"(", "playlist": "p"})", ""});
    }
    expectMessages(cases);

    // A member of a kind the JSON library cannot read as text is the caller's to report.
    std::string message = "untouched";
    EXPECT_THROW(validatePlaylistContent(json(R"({"account": {}})"), message), std::exception);
    EXPECT_THROW(validatePlaylistContent(json("[1, 2]"), message), std::exception);
    EXPECT_EQ(message, "untouched");
}

TEST(PlaylistDocument, MessageIsLeftAloneWhenTheDocumentPasses) {
    std::string message = "earlier text";
    EXPECT_TRUE(validatePlaylistContent(json(slideDocument(image)), message));
    EXPECT_EQ(message, "earlier text");
}

TEST(PlaylistDocument, SlideMetadata) {
    auto slide = [](const std::string& members) {
        return R"({"account": "a", "branch": "b", "playlist": "p", "slides": [)" + members + "]}";
    };
    const std::string ok = R"({"id": "s", "width": 1920, "height": 1080, "duration": 5, "layers": []})";
    expectMessages({
        {slide(ok), ""},
        {slide(R"({"id": "s", "width": "1920", "height": "1080", "duration": "0", "layers": []})"), ""},
        {slide(R"({"id": "s", "width": 1, "height": 1, "duration": "-0", "layers": []})"), ""},
        {slide(R"({"id": "s", "width": 1, "height": 1, "duration": 0, "layers": []})"), ""},
        {slide(R"("slide")"), "slide 0 has invalid metadata"},
        {slide(R"(null)"), "slide 0 has invalid metadata"},
        {slide(R"({"width": 1, "height": 1, "duration": 1, "layers": []})"), "slide 0 has invalid metadata"},
        {slide(R"({"id": "", "width": 1, "height": 1, "duration": 1, "layers": []})"), "slide 0 has invalid metadata"},
        {slide(R"({"id": 7, "width": 1, "height": 1, "duration": 1, "layers": []})"), "slide 0 has invalid metadata"},
        {slide(R"({"id": "s", "width": 0, "height": 1, "duration": 1, "layers": []})"), "slide 0 has invalid metadata"},
        {slide(R"({"id": "s", "width": 1, "height": "-1", "duration": 1, "layers": []})"),
         "slide 0 has invalid metadata"},
        {slide(R"({"id": "s", "width": 1, "duration": 1, "layers": []})"), "slide 0 has invalid metadata"},
        {slide(R"({"id": "s", "width": 1, "height": 1, "duration": -1, "layers": []})"),
         "slide 0 has invalid metadata"},
        {slide(R"({"id": "s", "width": 1, "height": 1, "duration": "5s", "layers": []})"),
         "slide 0 has invalid metadata"},
        {slide(R"({"id": "s", "width": 1, "height": 1, "duration": 1.5, "layers": []})"),
         "slide 0 has invalid metadata"},
        {slide(R"({"id": "s", "width": 1, "height": 1, "duration": 3e9, "layers": []})"),
         "slide 0 has invalid metadata"},
        {slide(R"({"id": "s", "width": 1, "height": 1, "duration": 1})"), "slide 0 has invalid metadata"},
        {slide(R"({"id": "s", "width": 1, "height": 1, "duration": 1, "layers": {}})"),
         "slide 0 has invalid metadata"},
        {slide(ok + ", " + ok + R"(, {"id": "s"})"), "slide 2 has invalid metadata"},
    });
}

TEST(PlaylistDocument, TransitionAndMotionEffect) {
    const std::string members = R"({"x": 0, "y": 0, "width": 1, "height": 1, "text": {"content": "", "font-size": 9}})";
    auto slide = [&](const std::string& extra) { return slideDocument(members, ", " + extra); };
    expectMessages({
        {slide(R"("transitionIn": 51)"), ""},
        {slide(R"("transitionIn": "51")"), ""},
        {slide(R"("transitionIn": null, "motionEffect": null)"), ""},
        {slide(R"("transitionIn": {"slug": "ripple"})"), ""},
        {slide(R"("transitionIn": {"id": 33})"), ""},
        {slide(R"("transitionIn": 52)"), "slide 0 has an invalid transitionIn"},
        {slide(R"("transitionIn": "52")"), "slide 0 has an invalid transitionIn"},
        {slide(R"("transitionIn": "+5")"), "slide 0 has an invalid transitionIn"},
        {slide(R"("transitionIn": "")"), "slide 0 has an invalid transitionIn"},
        {slide(R"("transitionIn": {})"), "slide 0 has an invalid transitionIn"},
        {slide(R"("transitionIn": true)"), "slide 0 has an invalid transitionIn"},
        {slide(R"("motionEffect": "14")"), ""},
        {slide(R"("motionEffect": "Pan-left")"), "slide 0 has an invalid motionEffect"},
        {slide(R"("motionEffect": 15)"), "slide 0 has an invalid motionEffect"},
        // Transition before motion effect, both before the layers.
        {slide(R"("motionEffect": "x", "transitionIn": "y")"), "slide 0 has an invalid transitionIn"},
        {slideDocument(R"({"x": 0.5})", R"(, "motionEffect": "x")"), "slide 0 has an invalid motionEffect"},
    });
}

TEST(PlaylistDocument, SceneEngineMembersAreRefusedByName) {
    std::vector<Case> cases;
    const std::string tail = " needs the scene engine, not available in this player";
    for (const char* member :
         {"sprite", "animation", "canvas", "motion", "stencil", "clip", "scroll", "wrapX", "wrapY"}) {
        // Any value that is not null, on the third layer, before every check of the layers.
        cases.push_back({slideDocument(image + ", " + image + R"(, {"x": "bad", ")" + member + R"(": false})"),
                         std::string("slide 0: layer 2 member \"") + member + "\"" + tail});
        cases.push_back({slideDocument(R"({"x": 0, "y": 0, "width": 1, "height": 1, "image": {"file": "a.png", "sha1": )" +
                                       sha1 + R"(}, ")" + member + R"(": null})"),
                         ""});
    }
    for (const char* member : {"scene", "slideshow"}) {
        cases.push_back({slideDocument("", std::string(R"(, ")") + member + R"(": {})"),
                         std::string("slide 0: member \"") + member + "\"" + tail});
        cases.push_back({slideDocument(image, std::string(R"(, ")") + member + R"(": null)"), ""});
    }
    // Order inside one layer and between layers.
    cases.push_back({slideDocument(R"({"wrapY": 1, "sprite": {}})"), "slide 0: layer 0 member \"sprite\"" + tail});
    cases.push_back({slideDocument(R"({"clip": {}, "id": ""})"), "slide 0: layer 0 member \"clip\"" + tail});
    cases.push_back({slideDocument(image + R"(, {"scroll": {}}, {"canvas": {}})"),
                     "slide 0: layer 1 member \"scroll\"" + tail});
    cases.push_back({slideDocument(R"({"motion": {}})", R"(, "scene": {})"),
                     "slide 0: layer 0 member \"motion\"" + tail});
    cases.push_back({slideDocument(R"({"canvas": {}})", R"(, "slideshow": {})"),
                     "slide 0: member \"slideshow\"" + tail});
    // A slide's own fault comes first; a later slide's refusal comes after an earlier slide.
    cases.push_back({slideDocument(R"({"stencil": {}})", R"(, "transitionIn": "x")"),
                     "slide 0 has an invalid transitionIn"});
    expectMessages(cases);
}

TEST(PlaylistDocument, LayerIds) {
    const std::string layer = R"({"x": 0, "y": 0, "width": 1, "height": 1, "image": {"file": "a.png", "sha1": )" + sha1;
    expectMessages({
        {slideDocument(layer + R"(}, "id": "logo"})"), ""},
        {slideDocument(layer + R"(}})"), ""},
        {slideDocument(layer + R"(}, "id": ""})"), "slide 0: Layer ID must be a nonempty string"},
        {slideDocument(layer + R"(}, "id": 5})"), "slide 0: Layer ID must be a nonempty string"},
        {slideDocument(layer + R"(}, "id": null})"), "slide 0: Layer ID must be a nonempty string"},
        // The id rule runs over all layers before any layer's own checks.
        {slideDocument(R"({"x": 1.5}, )" + layer + R"(}, "id": []})"), "slide 0: Layer ID must be a nonempty string"},
    });
}

TEST(PlaylistDocument, LayerDimensionsAndPayloadKinds) {
    const std::string media = R"({"file": "a.png", "sha1": )" + sha1 + "}";
    auto layer = [&](const std::string& dimensions, const std::string& payload = "") {
        return slideDocument("{" + dimensions + (payload.empty() ? R"(, "image": )" + media : ", " + payload) + "}");
    };
    const std::string ok = R"("x": 0, "y": 0, "width": 1, "height": 1)";
    expectMessages({
        {layer(ok), ""},
        {layer(R"("x": -5, "y": 10.0, "width": "100", "height": 1)"), ""},
        {layer(R"("x": 2147483647, "y": -2147483648, "width": 1, "height": 2147483647)"), ""},
        {slideDocument(R"("layer")"), "slide 0, layer 0 has invalid dimensions"},
        {slideDocument(image + ", [1]"), "slide 0, layer 1 has invalid dimensions"},
        {layer(R"("x": 1.5, "y": 0, "width": 1, "height": 1)"), "slide 0, layer 0 has invalid dimensions"},
        {layer(R"("x": "5", "y": 0, "width": 1, "height": 1)"), "slide 0, layer 0 has invalid dimensions"},
        {layer(R"("x": 2147483648, "y": 0, "width": 1, "height": 1)"), "slide 0, layer 0 has invalid dimensions"},
        {layer(R"("x": 0, "width": 1, "height": 1)"), "slide 0, layer 0 has invalid dimensions"},
        {layer(R"("x": 0, "y": true, "width": 1, "height": 1)"), "slide 0, layer 0 has invalid dimensions"},
        {layer(R"("x": 0, "y": 0, "width": 0, "height": 1)"), "slide 0, layer 0 has invalid dimensions"},
        {layer(R"("x": 0, "y": 0, "width": 1, "height": "0")"), "slide 0, layer 0 has invalid dimensions"},
        {layer(R"("x": 0, "y": 0, "width": 1, "height": 1e308)"), "slide 0, layer 0 has invalid dimensions"},
        {layer(ok, R"("image": )" + media + R"(, "text": {"content": "a", "font-size": 9})"),
         "slide 0, layer 0 must contain exactly one layer type"},
        {layer(ok, R"("rectangle": {}, "square": {})"), "slide 0, layer 0 must contain exactly one layer type"},
        {layer(ok, R"("image": null)"), "slide 0, layer 0 must contain exactly one layer type"},
        {layer(ok, R"("picture": {})"), "slide 0, layer 0 must contain exactly one layer type"},
        {layer(ok, R"("image": "a.png")"), "slide 0, layer 0 has a non-object payload"},
        {layer(ok, R"("circle": {}, "video": [])"), "slide 0, layer 0 has a non-object payload"},
        {layer(ok, R"("star": 5, "circle": {}, "video": {})"), "slide 0, layer 0 has a non-object payload"},
        {layer(ok, R"("text": "hello")"), "slide 0, layer 0 has a non-object payload"},
        {layer(ok, R"("text": null, "square": {}, "video": null)"), ""},
        // Dimensions before payloads.
        {layer(R"("x": 0, "y": 0, "width": 1)", R"("image": 5)"), "slide 0, layer 0 has invalid dimensions"},
    });
}

TEST(PlaylistDocument, TextStyleAndPaddingReportAsAnimationFaults) {
    auto text = [](const std::string& members, const std::string& size = R"("width": 200, "height": 100)") {
        return slideDocument(R"({"x": 0, "y": 0, )" + size + R"(, "text": {"content": "Hi", "font-size": 40)" +
                             members + "}}");
    };
    const std::string prefix = "slide 0, layer 0 has invalid animation: ";
    expectMessages({
        {text(""), ""},
        {text(R"(, "textStyle": null)"), ""},
        {text(R"(, "textStyle": {"padding": 49})"), ""},
        {text(R"(, "textStyle": {"padding": 50})"), prefix + "Text padding leaves no content area"},
        {text(R"(, "textStyle": {"padding": 100})", R"("width": 200, "height": 1000)"),
         prefix + "Text padding leaves no content area"},
        {text(R"(, "textStyle": [])"), prefix + "textStyle must be an object"},
        {text(R"(, "textStyle": {"Padding": 1})"), prefix + "Unknown textStyle option: Padding"},
        {text(R"(, "textStyle": {"padding": "4"})"), prefix + "Invalid text padding"},
        {text(R"(, "textStyle": {"cursorBlinkMs": 50})"), prefix + "Invalid text styling value"},
        // A digit text passes the dimension check, but the padding check reads a number.
        {text("", R"("width": "200", "height": 100)"), prefix + "Value is not convertible to Int."},
        // Typing controls alone are fine without an animation.
        {text(R"(, "textStyle": {"typewriterSpeed": 20, "typewriterCursor": true})"), ""},
        // The animation check comes before the payload checks.
        {text(R"(, "textStyle": 1}, "image": {)"), prefix + "textStyle must be an object"},
        {text(R"(, "textStyle": {}}, "image": {)"), "slide 0, layer 0 must contain exactly one layer type"},
        {slideDocument(R"({"x": 0, "y": 0, "width": 9, "height": 9, "text": {"font-size": 0, "textStyle": {"x": 1}}})"),
         prefix + "Unknown textStyle option: x"},
    });
}

TEST(PlaylistDocument, ShapeOptions) {
    auto shape = [](const std::string& kind, const std::string& options) {
        return layerDocument("\"" + kind + "\": " + options);
    };
    const std::string prefix = "slide 0, layer 0 ";
    expectMessages({
        {shape("rectangle", R"({"borderColor": "#fff", "opacity": 0.5, "color": "ff0000"})"), ""},
        {shape("rectangle", R"({"gradient": "diagonal"})"), prefix + "has invalid rectangle options: Invalid rectangle gradient"},
        {shape("square", R"({"shadow": "true"})"), prefix + "has invalid rectangle options: Rectangle shadow must be boolean"},
        {shape("ellipse", R"({"mode": 3})"), prefix + "has invalid ellipse options: Ellipse mode must be a string"},
        {shape("circle", R"({"ringWidth": 0})"),
         prefix + "has invalid ellipse options: Invalid ellipse thickness, angle or feather"},
        {shape("triangle", "{}"), ""},
        {shape("triangle", R"({"type": "right-angled", "direction": "left", "borderWidth": 0, "rotation": -720,
                                "tipPosition": 1, "borderColor": "#000"})"),
         ""},
        {shape("triangle", R"({"tipPosition": 0})"), ""},
        {shape("triangle", R"({"type": "scalene"})"), prefix + "has invalid triangle options"},
        {shape("triangle", R"({"type": null})"), prefix + "has invalid triangle options"},
        {shape("triangle", R"({"direction": "Up"})"), prefix + "has invalid triangle options"},
        {shape("triangle", R"({"direction": 1})"), prefix + "has invalid triangle options"},
        {shape("triangle", R"({"borderWidth": -1})"), prefix + "has invalid triangle options"},
        {shape("triangle", R"({"borderWidth": "2"})"), prefix + "has invalid triangle options"},
        {shape("triangle", R"({"rotation": true})"), prefix + "has invalid triangle options"},
        {shape("triangle", R"({"tipPosition": 1.01})"), prefix + "has invalid triangle options"},
        {shape("triangle", R"({"tipPosition": -0.01})"), prefix + "has invalid triangle options"},
        {shape("triangle", R"({"borderColor": 0})"), prefix + "has invalid triangle options"},
        {shape("triangle", R"({"borderColor": null})"), prefix + "has invalid triangle options"},
        {shape("star", "{}"), ""},
        {shape("star", R"({"points": 5, "pointLengths": [1, 1, 1, 1, 1]})"), ""},
        {shape("star", R"({"points": 3, "pointHeight": 0.001, "pointLengths": [0.5, 1e-9, 1]})"), ""},
        {shape("star", R"({"points": 128})"), ""},
        {shape("star", R"({"points": 2})"), prefix + "has invalid star points or pointHeight"},
        {shape("star", R"({"points": 129})"), prefix + "has invalid star points or pointHeight"},
        {shape("star", R"({"points": 5.5})"), prefix + "has invalid star points or pointHeight"},
        {shape("star", R"({"points": "5"})"), prefix + "has invalid star points or pointHeight"},
        {shape("star", R"({"pointHeight": 1})"), prefix + "has invalid star points or pointHeight"},
        {shape("star", R"({"pointHeight": 0})"), prefix + "has invalid star points or pointHeight"},
        {shape("star", R"({"pointHeight": null})"), prefix + "has invalid star points or pointHeight"},
        {shape("star", R"({"pointLengths": [1, 1, 1, 1]})"), prefix + "must have one star pointLengths value per point"},
        {shape("star", R"({"pointLengths": null})"), prefix + "must have one star pointLengths value per point"},
        {shape("star", R"({"points": 3, "pointLengths": {"a": 1, "b": 1, "c": 1}})"),
         prefix + "must have one star pointLengths value per point"},
        {shape("star", R"({"pointLengths": [1, 1, 0, 1, 1]})"),
         prefix + "has invalid star pointLengths (expected values in (0, 1])"},
        {shape("star", R"({"pointLengths": [1, 1, 1.0001, 1, 1]})"),
         prefix + "has invalid star pointLengths (expected values in (0, 1])"},
        {shape("star", R"({"pointLengths": [1, 1, "1", 1, 1]})"),
         prefix + "has invalid star pointLengths (expected values in (0, 1])"},
        {shape("star", R"({"points": 2, "pointLengths": [1]})"), prefix + "has invalid star points or pointHeight"},
    });
}

TEST(PlaylistDocument, TextAndMedia) {
    const std::string prefix = "slide 0, layer 0 ";
    auto media = [](const std::string& kind, const std::string& members) {
        return layerDocument("\"" + kind + "\": {" + members + "}");
    };
    const std::string digest = R"("sha1": )" + sha1;
    std::vector<Case> cases = {
        {layerDocument(R"("text": {"content": "", "font-size": "12"})"), ""},
        {layerDocument(R"("text": {"content": "Hi", "font-size": 12, "font": 5, "bold": "yes"})"), ""},
        {layerDocument(R"("text": {"font-size": 12})"), prefix + "has invalid text content"},
        {layerDocument(R"("text": {"content": 5, "font-size": 12})"), prefix + "has invalid text content"},
        {layerDocument(R"("text": {"content": "a", "font-size": 0})"), prefix + "has invalid text content"},
        {layerDocument(R"("text": {"content": "a", "font-size": "12px"})"), prefix + "has invalid text content"},
        {layerDocument(R"("text": {"content": "a"})"), prefix + "has invalid text content"},
        {media("image", R"("file": "a.png", )" + digest), ""},
        {media("video", R"("file": "clip.mp4", "sha256": ")" + std::string(64, 'F') + "\""), ""},
        {media("image", R"("file": "a.png", "sha1": "0123456789abcdef0123456789abcdef0123456")"),
         prefix + "has invalid media metadata"},
        {media("image", R"("file": "dir/a.png", )" + digest), prefix + "has invalid media metadata"},
        {media("image", R"("file": "", )" + digest), prefix + "has invalid media metadata"},
        {media("image", digest), prefix + "has invalid media metadata"},
        {media("video", R"("file": 5, )" + digest), prefix + "has invalid media metadata"},
        {media("video", R"("file": "..", )" + digest), prefix + "has invalid media metadata"},
        {media("video", R"("file": "clip.mp4")"), prefix + "has invalid media metadata"},
        {media("video", R"("file": "clip.mp4", "sha256": 1, )" + digest), prefix + "has invalid media metadata"},
    };
    // Names of the player's own files beside the media.
    for (const char* reserved : {"playlist.json", "HD", "FHD", "4K", "clip.mp4.part", ".part"}) {
        for (const char* kind : {"image", "video"}) {
            cases.push_back({media(kind, std::string(R"("file": ")") + reserved + "\", " + digest),
                             prefix + "has invalid media metadata"});
        }
    }
    cases.push_back({media("image", R"("file": "hd", )" + digest), ""});
    expectMessages(cases);
}

// The loader reads every payload's "opacity" as a number; a value it cannot read (a text, a list,
// an object) is refused here, before anything of the playlist is stored, after the payload's own
// checks.
TEST(PlaylistDocument, OpacityMustBeANumber) {
    const std::string digest = R"("sha1": )" + sha1;
    const std::string payloads[] = {
        R"("rectangle": {)",
        R"("circle": {)",
        R"("triangle": {)",
        R"("star": {)",
        R"("text": {"content": "a", "font-size": 9, )",
        R"("image": {"file": "a.png", )" + digest + ", ",
        R"("video": {"file": "a.mp4", )" + digest + ", ",
    };
    for (const std::string& payload : payloads) {
        auto withOpacity = [&](const std::string& opacity) {
            return layerDocument(payload + R"("opacity": )" + opacity + "}");
        };
        expectMessages({
            {withOpacity("0.5"), ""},
            {withOpacity("0"), ""},
            {withOpacity("300"), ""},
            {withOpacity("null"), ""},
            {withOpacity("true"), ""},
            {withOpacity(R"("0.5")"), "slide 0, layer 0 has invalid opacity"},
            {withOpacity("[1]"), "slide 0, layer 0 has invalid opacity"},
            {withOpacity("{}"), "slide 0, layer 0 has invalid opacity"},
        });
    }
    // The payload's own fault comes first.
    expectMessages({
        {layerDocument(R"("star": {"points": 1, "opacity": "x"})"), "slide 0, layer 0 has invalid star points or pointHeight"},
        {layerDocument(R"("image": {"file": "a/b", "opacity": "x"})"), "slide 0, layer 0 has invalid media metadata"},
    });
}

TEST(PlaylistDocument, Ticker) {
    auto ticker = [](const std::string& value) {
        return R"({"account": "a", "branch": "b", "playlist": "p", "ticker": )" + value + "}";
    };
    expectMessages({
        {ticker("null"), ""},
        {ticker("[]"), ""},
        {ticker(R"([{"message": "Hello"}, {"message": ""}])"), ""},
        {ticker(R"({"message": "Hello"})"), "ticker must be an array"},
        {ticker(R"("Hello")"), "ticker must be an array"},
        {ticker(R"([{"message": "a"}, {"message": 5}])"), "ticker message 1 is invalid"},
        {ticker(R"([{"message": "a"}, {}, "b"])"), "ticker message 1 is invalid"},
        {ticker(R"(["a"])"), "ticker message 0 is invalid"},
        // Slides are checked first.
        {R"({"account": "a", "branch": "b", "playlist": "p", "slides": [{}], "ticker": 5})",
         "slide 0 has invalid metadata"},
    });
}

TEST(PlaylistDocument, FirstFaultAcrossLayersAndSlides) {
    const std::string badStar = R"({"x": 0, "y": 0, "width": 1, "height": 1, "star": {"points": 1}})";
    const std::string badMedia = R"({"x": 0, "y": 0, "width": 1, "height": 1, "video": {"file": "a/b"}})";
    expectMessages({
        {slideDocument(image + ", " + badStar + ", " + badMedia), "slide 0, layer 1 has invalid star points or pointHeight"},
        {slideDocument(badMedia + ", " + badStar), "slide 0, layer 0 has invalid media metadata"},
        {R"({"account": "a", "branch": "b", "playlist": "p", "slides": [{"id": "s", "width": 1, "height": 1,
             "duration": 1, "layers": [)" + image + R"(]}, {"id": "t", "width": 1, "height": 1, "duration": 1,
             "layers": [)" + image + ", " + badStar + "]}]}",
         "slide 1, layer 1 has invalid star points or pointHeight"},
    });
}

TEST(PlaylistDocument, TenThousandLayers) {
    Json::Value document = json(slideDocument(image));
    Json::Value& layers = document["slides"][0]["layers"];
    const Json::Value layer = layers[0];
    for (int i = 1; i < 10000; ++i) layers.append(layer);
    std::string message;
    EXPECT_TRUE(validatePlaylistContent(document, message)) << message;
    layers[9999]["image"]["file"] = "../escape.png";
    EXPECT_FALSE(validatePlaylistContent(document, message));
    EXPECT_EQ(message, "slide 0, layer 9999 has invalid media metadata");
}

// The checks of an animation against its layer and slide. Without the scene engine no document
// carries an animation, so these are exercised with the records directly.
TEST(LayerAnimationCheck, TypewriterTypingControlsAndEndAnchoring) {
    struct AnimationCase {
        const char* name;
        std::string slide;  // the layer is the slide's first
        AnimationSpec animation;
        std::string message;
    };
    auto spec = [](const char* preset, const char* anchor = "auto", double delay = 0, double duration = 1000,
                   int repeat = 1) {
        AnimationSpec animation;
        animation.preset = preset;
        animation.anchor = anchor;
        animation.delay = delay;
        animation.duration = duration;
        animation.repeat = repeat;
        return animation;
    };
    AnimationSpec keyframes;
    keyframes.keyframes.resize(2);
    AnimationSpec endKeyframes = keyframes;
    endKeyframes.anchor = "end";

    auto slide = [](const std::string& layers, const std::string& duration = "10") {
        return R"({"id": "s", "width": 100, "height": 100, "duration": )" + duration + R"(, "layers": [)" + layers +
               "]}";
    };
    const std::string imageLayer = R"({"width": 10, "height": 10, "image": {}})";
    const std::string textLayer = R"({"width": 10, "height": 10, "text": {"content": "a"}})";
    const std::string typingLayer =
        R"({"width": 10, "height": 10, "text": {"content": "a", "textStyle": {"typewriterDelay": 5}}})";
    const std::string videoLayer = R"({"width": 10, "height": 10, "video": {}})";
    const std::string timing = "End-anchored animation needs a timed non-video slide; use anchor start otherwise";
    const std::string exceeds = "End-anchored animation exceeds slide duration";
    const std::string typing = "Text typing controls require the typewriter animation";

    const AnimationCase cases[] = {
        {"no animation", slide(imageLayer), AnimationSpec{}, ""},
        {"typewriter on an image", slide(imageLayer), spec("typewriter"), "Typewriter requires a text layer"},
        {"typewriter on text", slide(textLayer), spec("typewriter"), ""},
        {"typing with typewriter", slide(typingLayer), spec("typewriter"), ""},
        {"typing without animation", slide(typingLayer), AnimationSpec{}, ""},
        {"typing with a fade", slide(typingLayer), spec("fade-in"), typing},
        {"typing with keyframes", slide(typingLayer), keyframes, typing},
        {"exit preset fits exactly", slide(imageLayer), spec("fade-out", "auto", 9000), ""},
        {"exit preset one ms too long", slide(imageLayer), spec("fade-out", "auto", 9001), exceeds},
        {"repeats count", slide(imageLayer), spec("zoom-out", "auto", 0, 2500, 4), ""},
        {"repeats beyond", slide(imageLayer), spec("zoom-out", "auto", 0, 2500, 5), exceeds},
        {"end anchor on an entry preset", slide(imageLayer), spec("fade-in", "end", 0, 11000), exceeds},
        {"auto entry preset is not end-anchored", slide(imageLayer), spec("fade-in", "auto", 0, 11000), ""},
        {"start anchor never checked", slide(videoLayer, "0"), spec("fly-out", "start", 0, 99000), ""},
        {"end anchor without movement", slide(videoLayer, "0"), spec("none", "end"), ""},
        {"end-anchored keyframes", slide(imageLayer, "0"), endKeyframes, timing},
        {"video elsewhere in the slide", slide(imageLayer + ", 7, " + videoLayer), spec("slide-out"), timing},
        {"untimed slide", slide(imageLayer, "0"), spec("fly-out"), timing},
        {"untimed digit text", slide(imageLayer, "\"0\""), spec("fly-out"), "Value is not convertible to double."},
        {"video decides before a digit text is read", slide(videoLayer, "\"10\""), spec("fly-out"), timing},
        {"video null is no video", slide(imageLayer + R"(, {"video": null})"), spec("slide-out"), ""},
        {"padding before typing", slide(R"({"width": 10, "height": 10, "text": {"textStyle": {"padding": 5,
             "typewriterCursor": true}}})"), spec("fade-in"), "Text padding leaves no content area"},
        {"typing before end anchoring", slide(typingLayer, "0"), spec("fade-out"), typing},
    };
    for (const auto& c : cases) {
        const Json::Value slideValue = json(c.slide);
        std::string message;
        try {
            checkLayerAnimation(slideValue, slideValue["layers"][0], c.animation);
        } catch (const std::exception& error) {
            message = error.what();
        }
        EXPECT_EQ(message, c.message) << c.name;
    }
}

}  // namespace
}  // namespace lumetta
