#include <algorithm>
#include <array>
#include <cmath>
#include <cstddef>
#include <filesystem>
#include <iostream>
#include <limits>

#include "content/slide_document.h"
#include "core/log.h"
#include "core/shared_defaults.h"

namespace lumetta {

namespace {

constexpr std::array<std::string_view, 14> fontFamilies = {
    "Caladea", "DejaVu Sans", "DejaVu Serif", "Great Vibes", "Imprima", "Lato", "Lemon",
    "Liberation Sans", "Liberation Sans Narrow", "Liberation Serif", "Montserrat", "Oswald",
    "Righteous", "Sansita",
};

constexpr std::array<std::string_view, 4> exitPresets = {"fade-out", "slide-out", "zoom-out", "fly-out"};

bool isDigit(char c) { return c >= '0' && c <= '9'; }

int hexDigitValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// The value of a text of decimal digits only, when it fits `limit`.
std::optional<std::uint64_t> decimalDigits(std::string_view text, std::uint64_t limit) {
    if (text.empty()) return std::nullopt;
    std::uint64_t value = 0;
    for (const char c : text) {
        if (!isDigit(c)) return std::nullopt;
        value = value * 10 + static_cast<std::uint64_t>(c - '0');
        if (value > limit) return std::nullopt;  // stops long before the 64 bits could wrap
    }
    return value;
}

std::optional<std::int32_t> readIntAtLeast(const Json::Value& value, std::int32_t minimum) {
    std::int32_t result = 0;
    if (value.isInt()) {
        result = value.asInt();
    } else if (value.isString()) {
        const std::string owned = value.asString();
        std::string_view text = owned;
        if (!text.empty() && text.front() == '-') {
            text.remove_prefix(1);
            if (text.empty() || !std::all_of(text.begin(), text.end(), [](char c) { return c == '0'; })) {
                return std::nullopt;
            }
            result = 0;
        } else {
            const auto digits = decimalDigits(text, std::numeric_limits<std::int32_t>::max());
            if (!digits) return std::nullopt;
            result = static_cast<std::int32_t>(*digits);
        }
    } else {
        return std::nullopt;
    }
    if (result < minimum) return std::nullopt;
    return result;
}

// The index of a name from `table` by object ("slug", else "id"), index number, exact name or
// index digits.
std::optional<std::size_t> indexInTable(const Json::Value& given, std::span<const std::string_view> table) {
    const std::size_t count = table.size();
    const Json::Value* value = &given;
    if (given.isObject()) {
        if (given.isMember("slug")) {
            value = &given["slug"];
        } else if (given.isMember("id")) {
            value = &given["id"];
        } else {
            return std::nullopt;
        }
    }
    if (value->isNumeric()) {
        std::uint64_t index = 0;
        if (value->isUInt64()) {
            index = value->asUInt64();
        } else if (value->isInt64()) {
            return std::nullopt;  // negative
        } else {
            const double number = value->asDouble();
            if (!(number >= 0) || number != std::trunc(number) || number >= static_cast<double>(count)) {
                return std::nullopt;
            }
            index = static_cast<std::uint64_t>(number);
        }
        if (index >= count) return std::nullopt;
        return static_cast<std::size_t>(index);
    }
    if (!value->isString()) return std::nullopt;
    const std::string text = value->asString();
    for (std::size_t i = 0; i < count; ++i) {
        if (text == table[i]) return i;
    }
    const auto index = decimalDigits(text, std::numeric_limits<std::uint32_t>::max());
    if (!index || *index >= count) return std::nullopt;
    return static_cast<std::size_t>(*index);
}

}  // namespace

bool isSafeFileName(const std::string& name) {
    if (name.empty() || name == "." || name == "..") return false;
    for (const char c : name) {
        const auto byte = static_cast<unsigned char>(c);
        if (c == '/' || c == '\\' || byte < 0x20 || byte == 0x7f) return false;
    }
    const std::filesystem::path path(name);
    return !path.has_root_directory() && !path.has_parent_path() && path.filename() == path;
}

bool isReservedMediaName(const std::string& name) {
    return name == sharedDefaults().playlistFileName || name == "HD" || name == "FHD" || name == "4K" ||
           (name.size() >= 5 && name.compare(name.size() - 5, 5, ".part") == 0);
}

bool isReservedAccountName(const std::string& name) {
    const std::string& playing = sharedDefaults().playingFileName;
    return name == "config.json" || name == playing || name == playing + ".new" || name == "orientation" ||
           name == "orientation.png" || name == "screen.json";
}

std::string readSha1(const Json::Value& media) {
    if (!media.isObject()) return {};
    const Json::Value& digest = media.isMember("sha256") ? media["sha256"] : media["sha1"];
    if (!digest.isString()) return {};
    std::string text = digest.asString();
    if (text.size() != 40 && text.size() != 64) return {};
    for (char& c : text) {
        const int value = hexDigitValue(c);
        if (value < 0) return {};
        c = "0123456789abcdef"[value];
    }
    return text;
}

std::optional<std::int32_t> readOptionalInt(const Json::Value& value) { return readIntAtLeast(value, 0); }

std::optional<std::int32_t> readPositiveInt(const Json::Value& value) { return readIntAtLeast(value, 1); }

std::optional<SDL_Color> readHexColor(std::string_view text) {
    if (!text.empty() && text.front() == '#') text.remove_prefix(1);
    if (text.size() != 6 && text.size() != 8) return std::nullopt;
    std::uint8_t channels[4] = {0, 0, 0, 255};
    for (std::size_t i = 0; i < text.size(); i += 2) {
        const int high = hexDigitValue(text[i]);
        const int low = hexDigitValue(text[i + 1]);
        if (high < 0 || low < 0) return std::nullopt;
        channels[i / 2] = static_cast<std::uint8_t>(high * 16 + low);
    }
    return SDL_Color{channels[0], channels[1], channels[2], channels[3]};
}

SDL_Color hexToColor(const std::string& text, std::ostream& errors) {
    const SDL_Color black{0, 0, 0, 255};
    const std::size_t digits = text.size() - (!text.empty() && text.front() == '#' ? 1 : 0);
    if (digits != 6 && digits != 8) return black;
    const auto color = readHexColor(text);
    if (!color) {
        logText(errors, "hexToColor() Exception: Invalid hex value");
        return black;
    }
    return *color;
}

SDL_Color hexToColor(const std::string& text) { return hexToColor(text, std::cerr); }

std::optional<Transition> parseTransition(const Json::Value& value) {
    const std::optional<std::size_t> index = indexInTable(value, transitionNames());
    if (!index) return std::nullopt;
    return static_cast<Transition>(*index);
}

std::optional<MotionEffect> parseMotionEffect(const Json::Value& value) {
    const std::optional<std::size_t> index = indexInTable(value, motionEffectNames());
    if (!index) return std::nullopt;
    return static_cast<MotionEffect>(*index);
}

std::string textFontFamily(const Json::Value& font) {
    if (font.isString()) {
        const std::string family = font.asString();
        for (const auto known : fontFamilies) {
            if (family == known) return family;
        }
    }
    return "Liberation Sans";
}

bool isExitPreset(std::string_view preset) {
    return std::find(exitPresets.begin(), exitPresets.end(), preset) != exitPresets.end();
}

}  // namespace lumetta
