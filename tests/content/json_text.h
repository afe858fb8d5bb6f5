#pragma once
// JSON values for tests, written as text.

#include <json/json.h>

#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>

namespace lumetta::testing {

// The parsed value of `text`; throws on text that is not JSON, so a typo fails its test loudly.
inline Json::Value json(std::string_view text) {
    Json::CharReaderBuilder builder;
    const std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
    Json::Value value;
    std::string errors;
    if (!reader->parse(text.data(), text.data() + text.size(), &value, &errors)) {
        throw std::runtime_error("test JSON does not parse: " + errors + " in " + std::string(text));
    }
    return value;
}

}  // namespace lumetta::testing
