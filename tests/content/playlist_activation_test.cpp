#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "content/playlist.h"
#include "core/file_utils.h"
#include "support/temp_dir.h"

namespace lumetta {
namespace {

namespace fs = std::filesystem;
using testing::TempDir;
using testing::writeTestFile;

// A store with a base directory and one playlist directory holding its "playlist.json".
struct Store {
    Store() {
        base = (temp / "lumetta").string();
        directory = base + "/acme/main/Lobby";
        writeTestFile(fs::path(directory) / "playlist.json", "{}");
    }

    // A handle as a load leaves it: one slide with the given layers.
    void fill(Playlist& playlist, std::vector<SlideLayer> layers = {}, std::string name = "Lobby") const {
        playlist.baseDirectory = base;
        playlist.playlistDirectory = directory;
        playlist.content = PlaylistContent{"acme", "main", std::move(name), {}, {}};
        playlist.content->slides.emplace_back();
        playlist.content->slides.back().layers = std::move(layers);
    }

    fs::path playing() const { return fs::path(base) / "playing.json"; }
    fs::path media(const std::string& name) const { return fs::path(directory) / name; }

    TempDir temp;
    std::string base;
    std::string directory;
};

template <typename Content>
SlideLayer layerWith(Content content) {
    SlideLayer layer;
    layer.content = std::move(content);
    return layer;
}

ImageLayer image(const std::string& file) {
    ImageLayer layer;
    layer.file = file;
    return layer;
}

TEST(PlaylistActivation, PointsPlayingJsonAtTheDocumentAndReplacesAStaleStagingLink) {
    Store store;
    fs::create_directories(store.base);
    fs::create_symlink(store.base + "/old/playlist.json", store.playing());
    writeTestFile(store.playing().string() + ".new", "left over");
    Playlist playlist;
    store.fill(playlist);

    ASSERT_TRUE(playlist.activate());
    ASSERT_TRUE(fs::is_symlink(store.playing()));
    EXPECT_EQ(fs::read_symlink(store.playing()).string(), store.directory + "/playlist.json");
    EXPECT_FALSE(fs::exists(fs::symlink_status(store.playing().string() + ".new")));
    EXPECT_EQ(readFile(store.playing()), "{}");
}

TEST(PlaylistActivation, RefusesIncompletePlaylistsAndKeepsTheOldLink) {
    struct Case {
        std::string what;
        std::function<void(Store&, Playlist&)> spoil;
    };
    const Case cases[] = {
        {"no document", [](Store& s, Playlist&) { fs::remove(s.media("playlist.json")); }},
        {"no content", [](Store&, Playlist& p) { p.content.reset(); }},
        {"empty name", [](Store&, Playlist& p) { p.content->name.clear(); }},
        {"the empty playlist", [](Store&, Playlist& p) { p.content->name = "0 Empty Playlist"; }},
        {"no slides", [](Store&, Playlist& p) { p.content->slides.clear(); }},
    };
    for (const Case& c : cases) {
        Store store;
        fs::create_directories(store.base);
        fs::create_symlink("previous", store.playing());
        writeTestFile(store.media("unreferenced.png"), "x");
        Playlist playlist;
        store.fill(playlist);
        c.spoil(store, playlist);

        EXPECT_FALSE(playlist.activate()) << c.what;
        EXPECT_EQ(fs::read_symlink(store.playing()).string(), "previous") << c.what;
        EXPECT_TRUE(fs::exists(store.media("unreferenced.png"))) << c.what;
    }
}

TEST(PlaylistActivation, ALinkThatCannotBeReplacedLeavesEverythingAsItWas) {
    Store store;
    writeTestFile(store.playing() / "occupied", "a directory stands where the link goes");
    writeTestFile(store.media("unreferenced.png"), "x");
    Playlist playlist;
    store.fill(playlist);

    EXPECT_FALSE(playlist.activate());
    EXPECT_TRUE(fs::exists(store.playing() / "occupied"));
    EXPECT_FALSE(fs::exists(fs::symlink_status(store.playing().string() + ".new")));
    EXPECT_TRUE(fs::exists(store.media("unreferenced.png")));  // no clean-up without activation
}

TEST(PlaylistActivation, CleanUpKeepsWhatThePlaylistNamesAndRemovesTheRest) {
    Store store;
    TempDir outside;
    const fs::path outsideFile = writeTestFile(outside / "elsewhere.png", "keep me");
    const char* kept[] = {"playlist.json", "a.png", "HD/a.png", "FHD/a.png", "4K/a.png", "clip.mp4",
                          "fish.png", "mask.png", "4K/mask.png", "sub/x.bin", "sprite-item.png", "font.ttf",
                          "we\"ird\\name.png"};
    const char* removed[] = {"SD/a.png", "HD/b.png", "HD/clip.mp4", "stale.png", "sub/y.bin", "clip.mp4.part",
                             "A.PNG"};
    for (const char* name : kept) writeTestFile(store.media(name), "k");
    for (const char* name : removed) writeTestFile(store.media(name), "r");
    fs::create_directories(store.media("empty/deeper"));
    fs::create_symlink(outsideFile, store.media("link-to-outside.png"));
    fs::create_symlink(store.media("nowhere.png"), store.media("dangling.png"));

    std::vector<SlideLayer> layers;
    layers.push_back(layerWith(image("a.png")));
    layers.push_back(layerWith(image("we\"ird\\name.png")));
    VideoLayer video;
    video.file = "clip.mp4";
    layers.push_back(layerWith(video));
    ticker::SpriteSpec sprite;
    sprite.file = "fish.png";
    layers.push_back(layerWith(sprite));
    SlideLayer masked = layerWith(RectangleLayer{});
    masked.geometry.stencil = StencilSpec{};
    masked.geometry.stencil->type = "image";
    masked.geometry.stencil->file = "mask.png";
    layers.push_back(masked);
    Playlist playlist;
    store.fill(playlist, std::move(layers));
    Json::Value slide;
    slide["scene"]["resources"][0]["file"] = "sub/x.bin";
    slide["scene"]["resources"][1]["file"] = "./sub/y.bin";  // another text than "sub/y.bin"
    slide["scene"]["items"][0]["layer"]["sprite"]["file"] = "sprite-item.png";
    slide["scene"]["items"][1]["layer"]["text"]["font-file"] = "font.ttf";
    playlist.content->slides.front().sceneSource = slide;

    ::testing::internal::CaptureStdout();
    ASSERT_TRUE(playlist.activate());
    const std::string log = ::testing::internal::GetCapturedStdout();

    for (const char* name : kept) EXPECT_TRUE(fs::exists(store.media(name))) << name;
    for (const char* name : removed) {
        EXPECT_FALSE(fs::exists(store.media(name))) << name;
        EXPECT_NE(log.find("[PLAYLIST] Removed unreferenced media \"" + store.media(name).string() + "\"\n"),
                  std::string::npos)
            << name << "\n" << log;
    }
    EXPECT_TRUE(fs::is_directory(store.media("empty/deeper")));
    EXPECT_FALSE(fs::exists(fs::symlink_status(store.media("link-to-outside.png"))));
    EXPECT_EQ(readFile(outsideFile), "keep me");
    EXPECT_TRUE(fs::is_symlink(store.media("dangling.png")));
    EXPECT_TRUE(fs::exists(store.playing()));
}

TEST(PlaylistActivation, CleanUpQuotesPathsInItsLog) {
    Store store;
    writeTestFile(store.media("say \"hi\"\\.png"), "r");
    Playlist playlist;
    store.fill(playlist);
    ::testing::internal::CaptureStdout();
    playlist.removeUnreferencedMedia();
    EXPECT_EQ(::testing::internal::GetCapturedStdout(),
              "[PLAYLIST] Removed unreferenced media \"" + store.directory + "/say \\\"hi\\\"\\\\.png\"\n");
}

TEST(PlaylistActivation, CleanUpIsLeftToALaterWriterOfTheSameDirectory) {
    Store store;
    writeTestFile(store.media("arriving.png"), "another load's medium");
    Playlist playlist;
    store.fill(playlist);
    {
        std::lock_guard lock(playlistFilesMutex);
        notePlaylistDocumentWritten(store.directory);  // another load rewrote the document
    }
    ASSERT_TRUE(playlist.activate());
    EXPECT_TRUE(fs::exists(store.media("arriving.png")));
}

}  // namespace
}  // namespace lumetta
