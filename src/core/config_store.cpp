#include "core/config_store.h"

#include <cmath>
#include <functional>
#include <iomanip>
#include <locale>
#include <memory>
#include <sstream>
#include <system_error>
#include <utility>

#include "core/file_utils.h"
#include "core/palette.h"
#include "core/shared_defaults.h"

namespace lumetta {

std::mutex configMutex;

namespace {

bool validMode(int width, int height, float refreshRate) {
    return width > 0 && height > 0 && refreshRate > 0.0f && std::isfinite(refreshRate);
}

// Loads the document, lets `change` edit it and saves it when `change` says so; all under the lock.
// `change` returns false when nothing needs writing.
bool editConfig(const std::string& base, const std::function<bool(Json::Value&)>& change) {
    std::lock_guard<std::mutex> lock(configMutex);
    const std::filesystem::path path = configPath(base);
    Json::Value document;
    if (!loadConfigDocument(path, document)) return false;
    if (!change(document)) return true;
    return saveConfigDocument(path, document);
}

// Reads one member of a loaded document under the lock; a null value when the file does not load.
Json::Value configMember(const std::string& base, const std::string& key) {
    std::lock_guard<std::mutex> lock(configMutex);
    Json::Value document;
    if (!loadConfigDocument(configPath(base), document)) return Json::Value();
    return document.get(key, Json::Value());
}

}  // namespace

std::filesystem::path configPath(const std::string& base) {
    return std::filesystem::path(base) / sharedDefaults().programDirectoryName / "config.json";
}

std::string formatDisplayMode(const DisplayMode& mode) {
    std::ostringstream out;
    out.imbue(std::locale::classic());
    const float rate = mode.refreshRate;
    const bool whole = std::fabs(rate - std::roundf(rate)) < 0.01f;
    out << mode.width << 'x' << mode.height << '@' << std::fixed << std::setprecision(whole ? 0 : 2) << rate;
    return out.str();
}

std::optional<DisplayMode> parseDisplayMode(std::string_view text) {
    std::istringstream in{std::string(text)};
    in.imbue(std::locale::classic());
    int width = 0;
    int height = 0;
    char times = 0;
    char at = 0;
    float rate = 0.0f;
    in >> width >> times >> height >> at >> rate;
    if (in.fail()) return std::nullopt;
    std::string rest;
    in >> rest;  // skips trailing white space; anything else is left-over text
    if (!rest.empty()) return std::nullopt;
    if (times != 'x' || at != '@' || !validMode(width, height, rate)) return std::nullopt;
    DisplayMode mode;
    mode.width = width;
    mode.height = height;
    mode.refreshRate = rate;
    return mode;
}

bool loadConfigDocument(const std::filesystem::path& path, Json::Value& document) {
    std::error_code error;
    const std::filesystem::file_status status = std::filesystem::status(path, error);
    if (status.type() == std::filesystem::file_type::not_found) {
        document = Json::Value(Json::objectValue);
        return true;
    }
    const std::string text = readFile(path.string());
    Json::CharReaderBuilder builder;
    std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
    Json::Value parsed;
    if (!reader->parse(text.data(), text.data() + text.size(), &parsed, nullptr)) return false;
    if (!parsed.isObject()) return false;
    document = std::move(parsed);
    return true;
}

bool saveConfigDocument(const std::filesystem::path& path, const Json::Value& document) {
    Json::StreamWriterBuilder builder;
    builder["indentation"] = "  ";
    const std::string text = Json::writeString(builder, document) + "\n";
    return writeFileAtomically(path.string(), text);
}

std::string configString(const std::string& base, const std::string& key) {
    const Json::Value value = configMember(base, key);
    return value.isString() ? value.asString() : std::string();
}

int configInt(const std::string& base, const std::string& key, int defaultValue) {
    const Json::Value value = configMember(base, key);
    return value.isInt() ? value.asInt() : defaultValue;
}

std::optional<DisplayMode> configDisplayMode(const std::string& base) {
    const Json::Value value = configMember(base, "displayMode");
    if (!value.isString()) return std::nullopt;
    return parseDisplayMode(value.asString());
}

bool setConfigString(const std::string& base, const std::string& key, const std::string& value) {
    return editConfig(base, [&](Json::Value& document) {
        document[key] = value;
        return true;
    });
}

bool setConfigInt(const std::string& base, const std::string& key, int value) {
    return editConfig(base, [&](Json::Value& document) {
        document[key] = value;
        return true;
    });
}

bool setConfigAccountBranch(const std::string& base, const std::string& account, const std::string& branch) {
    return editConfig(base, [&](Json::Value& document) {
        document["account"] = account;
        document["branch"] = branch;
        return true;
    });
}

bool removeConfigKey(const std::string& base, const std::string& key) {
    return editConfig(base, [&](Json::Value& document) {
        if (!document.isMember(key)) return false;
        document.removeMember(key);
        return true;
    });
}

bool setConfigDisplayMode(const std::string& base, const DisplayMode& mode) {
    if (!validMode(mode.width, mode.height, mode.refreshRate)) return false;
    return editConfig(base, [&](Json::Value& document) {
        document["displayMode"] = formatDisplayMode(mode);
        document.removeMember("resolution");
        return true;
    });
}

bool migrateLegacyConfig(const std::string& base) {
    std::lock_guard<std::mutex> lock(configMutex);
    const std::filesystem::path path = configPath(base);
    const std::filesystem::path dataDirectory = path.parent_path();
    auto legacy = [&](const char* name) { return readFile((dataDirectory / name).string()); };

    Json::Value document;
    if (!loadConfigDocument(path, document)) return false;
    bool changed = false;

    if (document.isMember("groupEnabled")) {
        document.removeMember("groupEnabled");
        changed = true;
    }

    if (!document.isMember("name")) {
        const std::string name = legacy("name");
        if (!name.empty()) {
            document["name"] = name;  // exactly as stored, line break and all
            changed = true;
        }
    }

    if (!document.isMember("orientation")) {
        std::istringstream in(legacy("orientation"));
        int orientation = 0;
        if (in >> orientation) {
            document["orientation"] = orientation;
            changed = true;
        }
    }

    if (!document.isMember("displayMode")) {
        const Json::Value& resolution = std::as_const(document)["resolution"];
        const bool usable = resolution.isObject() && resolution["width"].isInt() && resolution["height"].isInt() &&
                            resolution["refreshRate"].isNumeric();
        DisplayMode mode;
        bool found = false;
        if (usable) {
            mode.width = resolution["width"].asInt();
            mode.height = resolution["height"].asInt();
            mode.refreshRate = resolution["refreshRate"].asFloat();
            found = true;
        } else {
            std::istringstream in(legacy("resolution"));
            in.imbue(std::locale::classic());
            found = static_cast<bool>(in >> mode.width >> mode.height >> mode.refreshRate);
        }
        if (found && validMode(mode.width, mode.height, mode.refreshRate)) {
            document["displayMode"] = formatDisplayMode(mode);
            changed = true;
        }
    }
    if (document.isMember("resolution")) {
        document.removeMember("resolution");
        changed = true;
    }

    std::string group = legacy("peer-group");
    while (!group.empty() && (group.back() == '\r' || group.back() == '\n')) group.pop_back();
    if (!document.isMember("groupId") && !group.empty()) {
        document["groupId"] = group;
        changed = true;
    }

    if (changed && !saveConfigDocument(path, document)) return false;

    auto removeLegacy = [&](const char* name) {
        std::error_code error;
        std::filesystem::remove(dataDirectory / name, error);
        return !error;
    };
    const Json::Value& stored = document;
    if (stored["name"].isString() && !removeLegacy("name")) return false;
    if (stored["groupId"].isString() && !removeLegacy("peer-group")) return false;
    return true;
}

}  // namespace lumetta
