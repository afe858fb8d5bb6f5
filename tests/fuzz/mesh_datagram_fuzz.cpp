// Datagrams that reach the content mesh's discovery socket from the LAN: raw bytes, and FIND and
// INTENT messages whose fields are fuzzed but whose signature is right, so that the checks behind
// the signature are reached too. One mesh runs for the whole session (run-fuzz.sh gives the
// target a network namespace of its own), holding one file and fetching another.
#include <unistd.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "content/content_mesh.h"
#include "core/config_store.h"

namespace {

using namespace lumetta;

const std::string held(40, 'a');
const std::string fetched(64, 'b');
const std::string unknown = "0123456789abcdef0123456789abcdef01234567";

ContentMesh& mesh() {
    static ContentMesh* instance = [] {
        const char* tmp = std::getenv("TMPDIR");
        const std::filesystem::path base =
            std::filesystem::path(tmp && *tmp ? tmp : "/tmp") / ("mesh-fuzz-" + std::to_string(::getpid()));
        std::filesystem::create_directories(base / "lumetta");
        setConfigString(base.string(), "groupId", "fuzz group");
        std::ofstream(base / "held") << "content";
        auto* created = new ContentMesh();
        if (!created->start(base.string(), "FUZZER")) std::abort();
        created->registerFile(held, (base / "held").string());
        created->choosePeer(fetched);
        return created;
    }();
    return *instance;
}

// Splits the fuzzer's bytes into the fields of one message at '|'.
std::string field(std::string_view& rest) {
    const std::size_t end = rest.find('|');
    std::string value(rest.substr(0, end));
    rest = end == std::string_view::npos ? std::string_view() : rest.substr(end + 1);
    return value;
}

std::string lower(std::string text) {
    for (char& c : text) {
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
    return text;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    ContentMesh& m = mesh();
    if (size == 0) {
        m.answerDatagram({});
        return 0;
    }
    const std::uint8_t mode = data[0];
    std::string_view rest(reinterpret_cast<const char*>(data) + 1, size - 1);
    switch (mode % 3) {
        case 0:
            m.answerDatagram(rest);
            break;
        case 1: {  // FIND for one of the three hashes, or for a fuzzed one
            const std::string choices[] = {held, fetched, unknown};
            std::string hash = (mode & 0x80) ? field(rest) : choices[(mode >> 2) % 3];
            if (mode & 0x40) {
                for (char& c : hash) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
            }
            const std::string nonce = field(rest);
            const std::string separator = field(rest);
            const std::string text = "QUORVELA_FIND_V2" + separator + hash + separator + nonce + separator +
                                     m.signature("find:" + lower(hash) + ":" + nonce) + std::string(rest);
            m.answerDatagram(text);
            break;
        }
        default: {  // INTENT with fuzzed device and time, near the real time or not at all
            const std::string hash = (mode & 0x80) ? field(rest) : held;
            const std::string device = field(rest);
            std::string seconds = field(rest);
            if (mode & 0x40) {
                const auto now = std::chrono::duration_cast<std::chrono::seconds>(
                                     std::chrono::system_clock::now().time_since_epoch())
                                     .count();
                seconds = std::to_string(now + static_cast<std::int8_t>(seconds.empty() ? 0 : seconds[0]));
            }
            const std::string text = "QUORVELA_INTENT_V2 " + hash + " " + device + " " + seconds + " " +
                                     m.signature("intent:" + lower(hash) + ":" + device + ":" + seconds) +
                                     std::string(rest);
            m.answerDatagram(text);
            break;
        }
    }
    return 0;
}
