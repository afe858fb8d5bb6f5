#pragma once
// The device configuration file "config.json" in the data directory: free functions that re-read
// the file on every access under one process-wide lock, so a value written by one thread (or by
// hand) is seen by the next read anywhere. A file that is not a JSON object is never overwritten.

#include <json/json.h>

#include <filesystem>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include "core/display_mode.h"

namespace lumetta {

// Held by every public operation below for its whole read-modify-write; a leaf lock.
extern std::mutex configMutex;

// base / "lumetta" / "config.json".
std::filesystem::path configPath(const std::string& base);

// "1920x1080@60", "1920x1080@59.94", "1920x1080@50.50": no decimals within 0.01 Hz of a whole number.
std::string formatDisplayMode(const DisplayMode& mode);

// Width, height and refresh rate of a display-mode text, or none when the text is not one.
std::optional<DisplayMode> parseDisplayMode(std::string_view text);

// A missing file reads as an empty object; an existing file must parse to a JSON object.
bool loadConfigDocument(const std::filesystem::path& path, Json::Value& document);
// Two-space indentation and a final newline, written atomically.
bool saveConfigDocument(const std::filesystem::path& path, const Json::Value& document);

// Getters give their defaults when the file does not load or the member has another type.
std::string configString(const std::string& base, const std::string& key);
int configInt(const std::string& base, const std::string& key, int defaultValue);
std::optional<DisplayMode> configDisplayMode(const std::string& base);

// Setters return false without writing when the file does not load, else the result of the save.
bool setConfigString(const std::string& base, const std::string& key, const std::string& value);
bool setConfigInt(const std::string& base, const std::string& key, int value);
bool setConfigAccountBranch(const std::string& base, const std::string& account, const std::string& branch);
// True without writing when the key is absent.
bool removeConfigKey(const std::string& base, const std::string& key);
// Stores "displayMode" and drops the obsolete "resolution"; an invalid mode touches nothing.
bool setConfigDisplayMode(const std::string& base, const DisplayMode& mode);

// Folds the one-value files of older versions ("name", "orientation", "resolution",
// "peer-group") into the configuration file. True when the configuration is consistent afterwards.
bool migrateLegacyConfig(const std::string& base);

}  // namespace lumetta
