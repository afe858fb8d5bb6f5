// A playlist document as the service sends it: parsed like the loader parses it, then checked
// whole, then read again by the shape and text option readers the loader calls afterwards.
#include <json/json.h>

#include <cstddef>
#include <cstdint>
#include <exception>
#include <memory>
#include <string>

#include "content/layer_options.h"
#include "content/slide_document.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace lumetta;
    static const std::unique_ptr<Json::CharReader> reader(Json::CharReaderBuilder().newCharReader());
    const char* text = reinterpret_cast<const char*>(data);
    Json::Value document;
    std::string errors;
    try {
        if (!reader->parse(text, text + size, &document, &errors)) return 0;
    } catch (const std::exception&) {
        return 0;  // nesting beyond the reader's depth limit is thrown, not returned
    }

    std::string message;
    bool valid = false;
    try {
        valid = validatePlaylistContent(document, message);
    } catch (const std::exception&) {
        // The JSON library refused a top-level member of the wrong kind; the loader reports it.
        return 0;
    }
    if (!valid) {
        if (message.empty()) __builtin_trap();  // every refusal names its fault
        return 0;
    }
    // A document that passed must read again without surprises.
    for (const Json::Value& slide : document["slides"]) {
        for (const Json::Value& layer : slide["layers"]) {
            try {
                if (!layer["rectangle"].isNull()) parseRectangle(layer["rectangle"]);
                if (!layer["square"].isNull()) parseRectangle(layer["square"]);
                if (!layer["ellipse"].isNull()) parseEllipse(layer["ellipse"]);
                if (!layer["circle"].isNull()) parseEllipse(layer["circle"]);
                if (!layer["text"].isNull()) parseTextStyle(layer["text"]["textStyle"]);
            } catch (const std::exception&) {
                __builtin_trap();  // the check accepted what the loader would refuse
            }
            for (const char* kind : {"image", "video"}) {
                if (!layer[kind].isNull() && readSha1(layer[kind]).empty()) __builtin_trap();
            }
        }
    }
    return 0;
}
