// Transition reports as the player loop hands them to the link: any text, of which only a JSON
// object whose "type" is "transition" is kept, in compact form, with the next sequence number.
// A refused text leaves the kept report as it was; an accepted one replaces it.
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <ostream>
#include <sstream>
#include <string>

#include <json/json.h>

#include "link/outgoing_messages.h"

namespace {

// Names the broken promise before the crash, for whoever reads the finding.
#define check(condition)                                                   \
    do {                                                                   \
        if (!(condition)) {                                                \
            std::fprintf(stderr, "check failed: %s\n", #condition);        \
            std::abort();                                                  \
        }                                                                  \
    } while (false)

bool sameReport(const std::optional<lumetta::TransitionReport>& a, const std::optional<lumetta::TransitionReport>& b) {
    if (a.has_value() != b.has_value()) return false;
    return !a || (a->text == b->text && a->sequence == b->sequence);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace lumetta;
    static std::atomic<bool> running{true};
    static std::ostream quiet(nullptr);  // refusals are logged; nowhere here
    static PendingTransition reports(running, quiet);
    static std::uint64_t lastSequence = 0;

    const std::string text(reinterpret_cast<const char*>(data), size);
    const std::optional<TransitionReport> before = reports.unsent();
    const bool stored = reports.store(text);
    const std::optional<TransitionReport> after = reports.unsent();
    if (!stored) {
        check(sameReport(before, after));
        return 0;
    }

    check(after.has_value());
    check(after->sequence == lastSequence + 1);
    lastSequence = after->sequence;
    check(!after->text.empty() && after->text.size() <= maxPlayerMessageBytes);

    // It goes out as a WebSocket text message, which must be UTF-8: the writer escapes everything
    // outside ASCII (bytes that are not UTF-8 become U+FFFD).
    for (const char byte : after->text) check(static_cast<unsigned char>(byte) < 0x80);

    // What goes on the wire reads back as the report: an object of type "transition" carrying
    // its own sequence, in a compact form that reading and writing again keeps.
    const auto read = [](const std::string& json) {
        Json::Value root;
        std::string errors;
        std::istringstream in(json);
        Json::CharReaderBuilder builder;
        check(Json::parseFromStream(builder, in, &root, &errors));
        return root;
    };
    const Json::Value root = read(after->text);
    check(root.isObject());
    check(root["type"].isString() && root["type"].asString() == "transition");
    check(root["sequence"].isUInt64() && root["sequence"].asUInt64() == after->sequence);
    // Member order follows the names as read, so text that was not UTF-8 may sort differently
    // once replaced; from the wire form on, the form is stable.
    const std::string rewritten = toCompactJson(root);
    check(toCompactJson(read(rewritten)) == rewritten);

    // The sent flag follows the sequence alone.
    reports.markSent(after->sequence + 1);
    check(reports.unsent().has_value());
    return 0;
}
