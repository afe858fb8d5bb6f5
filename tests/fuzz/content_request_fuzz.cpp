// Request heads that reach the content server from the LAN: parsed alone, and served whole over
// a socket pair by a running mesh, sometimes behind a correct request line and signature so that
// the range handling and the replies are reached too.
#include <sys/socket.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "content/content_mesh.h"
#include "content/content_request.h"
#include "core/config_store.h"
#include "core/unique_fd.h"

namespace {

using namespace lumetta;

// The digest of the held content: a file served whole that does not match its hash is no longer
// offered, and every later request would end in 404.
const std::string held = "eadb511664d2e0971a6bc346870d98bf7f575cb2";

ContentMesh& mesh() {
    static ContentMesh* instance = [] {
        const char* tmp = std::getenv("TMPDIR");
        const std::filesystem::path base =
            std::filesystem::path(tmp && *tmp ? tmp : "/tmp") / ("content-fuzz-" + std::to_string(::getpid()));
        std::filesystem::create_directories(base / "lumetta");
        setConfigString(base.string(), "groupId", "fuzz group");
        std::ofstream(base / "held") << "0123456789 some held content";
        auto* created = new ContentMesh();
        if (!created->start(base.string(), "FUZZER")) std::abort();
        created->registerFile(held, (base / "held").string());
        return created;
    }();
    return *instance;
}

void serve(ContentMesh& m, const std::string& head) {
    int pair[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0) return;
    UniqueFd client(pair[0]);
    UniqueFd server(pair[1]);
    if (::send(client.get(), head.data(), head.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(head.size())) return;
    ::shutdown(client.get(), SHUT_WR);  // an unfinished head ends at once instead of after 2 s
    m.serveRequest(server.get());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string input(reinterpret_cast<const char*>(data), size);
    parseContentRequest(input);
    if (size == 0) return 0;

    ContentMesh& m = mesh();
    const std::string rest = input.substr(1);
    switch (data[0] % 3) {
        case 0:
            serve(m, rest);
            break;
        case 1: {  // a valid request line and signature, then fuzzed headers
            const std::string hash = (data[0] & 0x80) ? std::string(40, 'A') : held;
            serve(m, "GET /content/" + hash + " HTTP/1.1\r\nX-Quorvela-Auth: " + m.signature("get:" + held) + "\r\n" +
                         rest + "\r\n\r\n");
            break;
        }
        default:  // a fuzzed range behind a valid request
            serve(m, "GET /content/" + held + " HTTP/1.1\r\nX-Quorvela-Auth: " + m.signature("get:" + held) +
                         "\r\nRange: bytes=" + rest + "\r\n\r\n");
            break;
    }
    return 0;
}
