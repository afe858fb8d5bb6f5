// A playlist document as the service sends it, taken the loader's way: parsed, expanded, checked
// whole, and then read into slides with their media queued. Whatever the check accepts must read
// without an exception: the slide reader relies on the check and repeats none of it.
#include <json/json.h>

#include <cstddef>
#include <cstdint>
#include <exception>
#include <memory>
#include <string>

#include "content/playlist_slides.h"
#include "content/scene_stand_in.h"
#include "content/slide_document.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace lumetta;
    static const std::unique_ptr<Json::CharReader> reader(Json::CharReaderBuilder().newCharReader());
    const char* text = reinterpret_cast<const char*>(data);
    Json::Value document;
    std::string errors;
    try {
        if (!reader->parse(text, text + size, &document, &errors) || !document.isObject()) return 0;
    } catch (const std::exception&) {
        return 0;  // the reader's nesting limit
    }
    const Json::Value& slides = document["slides"];
    if (!slides.isArray() || slides.empty()) return 0;

    Json::Value expanded = document;
    std::string message;
    try {
        for (Json::Value& slide : expanded["slides"]) slide = parseSlideshow(slide);
        if (!validatePlaylistContent(expanded, message)) return 0;
    } catch (const std::exception&) {
        return 0;  // refused with the library's or the slideshow's own message
    }

    PreparedImageCache cache;
    ThreadSafeQueue queue(cache);
    const std::uint64_t group = queue.createGroup();
    try {
        const std::vector<Slide> read = readSlides(expanded["slides"], {&queue, "https://service.test", "/d", group});
        if (read.size() != expanded["slides"].size()) __builtin_trap();
    } catch (const std::exception&) {
        __builtin_trap();  // the check accepted what the slide reader cannot read
    }
    DownloadTask task;
    queue.stop();
    while (queue.pop(task)) {
        if (task.groupId != group || task.targetPath.rfind("/d/", 0) != 0) __builtin_trap();
        if (task.url.find_first_of(" #?\r\n") != std::string::npos) __builtin_trap();
    }
    return 0;
}
