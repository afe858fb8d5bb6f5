#include "objects/font_path.h"

#include <algorithm>
#include <filesystem>
#include <system_error>

#include "core/palette.h"
#include "core/shared_defaults.h"

namespace lumetta {

void removeSpaces(std::string& family) {
    family.erase(std::remove(family.begin(), family.end(), ' '), family.end());
}

std::string fontPath(const std::string& directory, const std::string& family, std::uint8_t style) {
    if (family.find('/') != std::string::npos || family.find('\0') != std::string::npos) return {};
    std::string name = family;
    removeSpaces(name);
    const bool bold = (style & 1) != 0;
    const bool italic = (style & 2) != 0;
    const char* suffix = bold && italic ? "-BoldItalic" : bold ? "-Bold" : italic ? "-Italic" : "-Regular";
    std::string styled = directory + "/" + name + suffix + ".ttf";
    // Absence falls back, and so does a status that cannot be read at all (a permission or
    // name-length error reports no type); the error code keeps the query from throwing.
    std::error_code error;
    const auto status = std::filesystem::status(styled, error);
    if (status.type() == std::filesystem::file_type::not_found ||
        status.type() == std::filesystem::file_type::none) {
        return directory + "/" + name + ".ttf";
    }
    return styled;
}

std::string fontPath(const std::string& family, std::uint8_t style) {
    return fontPath(sharedDefaults().fontsDirectory, family, style);
}

}  // namespace lumetta
