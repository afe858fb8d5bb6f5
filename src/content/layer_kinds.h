#pragma once
// The layer kinds as the content side knows them, one row per kind in LayerKind order: the
// document members that hold a layer of the kind, the check of such a member, the reader that
// turns it into the slide model's content, and the files a layer of the kind shows (which the
// playlist's downloads fetch and its clean-up keeps). The player's half of the table (building
// and drawing) is in player/live_layer.h, keyed by the same LayerKind.
//
// A new kind adds one row here; the document check, the slide reader, the media downloads and
// the clean-up go through the table and need no change of their own.

#include <json/value.h>

#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "content/slide_model.h"

namespace lumetta {

// A file a layer shows.
struct LayerMedium {
    std::string_view folder;  // where the service serves it: "images" or "videos"
    std::string file;         // a file name in the playlist's directory
    std::string digest;       // lower-case hexadecimal SHA-1 or SHA-256 of the file
    // Fetched for the layer's box: a picture then gets reduced copies beside it ("HD", "FHD",
    // "4K"), which the clean-up keeps. Otherwise the file is used at its own size and is fetched
    // only when its name is a bare file name.
    bool sizedToLayer = true;
};

struct LayerKindRow {
    LayerKind kind;
    // The document member that holds a layer of this kind, and a second name for the same kind
    // ("square", "circle") or null. Both null for the empty kind, which no document names.
    const char* member;
    const char* alias;
    // The fault of a payload object (already known to be an object), as it follows the layer's
    // prefix (" has invalid triangle options"); nothing when the reader can take it.
    std::optional<std::string> (*check)(const Json::Value& payload);
    // The content of a payload that passed the check.
    LayerContent (*read)(const Json::Value& payload);
    // The files the layer shows, in the order they are fetched.
    std::vector<LayerMedium> (*media)(const LayerContent& content);
};

// Every kind, in LayerKind order (row i has kind i); the members in this order are the order in
// which a layer's members are looked at.
std::span<const LayerKindRow> layerKindRows();
const LayerKindRow& layerKindRow(LayerKind kind);

// The files of one layer of the slide model.
std::vector<LayerMedium> layerMedia(const LayerContent& content);

}  // namespace lumetta
