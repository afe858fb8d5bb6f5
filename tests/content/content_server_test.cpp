// The content server of one player, spoken to over raw sockets: its replies byte for byte, and
// silence for everything it must not answer.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <poll.h>
#include <sys/socket.h>

#include <chrono>
#include <filesystem>
#include <sstream>
#include <string>
#include <thread>

#include "content/content_mesh.h"
#include "core/config_store.h"
#include "core/unique_fd.h"
#include "support/lan.h"
#include "support/temp_dir.h"

namespace lumetta {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

const std::string ten = "87acec17cd9dcd20a716cc2cf67417b71c8a7016";  // SHA-1 of "0123456789"
const std::string empty(40, 'b');   // an empty file
const std::string gone(40, 'c');    // registered, then deleted
const std::string big(64, 'd');     // a few MiB
const std::string unknown(64, 'e');

std::string hmacHex(const std::string& key, const std::string& text) {
    unsigned char out[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    HMAC(EVP_sha256(), key.data(), static_cast<int>(key.size()), reinterpret_cast<const unsigned char*>(text.data()),
         text.size(), out, &length);
    std::string hex;
    char digits[3];
    for (unsigned i = 0; i < length; ++i) {
        std::snprintf(digits, sizeof digits, "%02x", out[i]);
        hex += digits;
    }
    return hex;
}

std::string upper(std::string text) {
    for (char& c : text) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return text;
}

UniqueFd connectToServer() {
    UniqueFd s(::socket(AF_INET, SOCK_STREAM, 0));
    sockaddr_in server{};
    server.sin_family = AF_INET;
    server.sin_port = htons(meshContentPort);
    server.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    EXPECT_EQ(::connect(s.get(), reinterpret_cast<sockaddr*>(&server), sizeof server), 0);
    return s;
}

// Everything the server sends until it closes (at most `timeoutMs`).
std::string readToEnd(int s, int timeoutMs = 5000) {
    std::string reply;
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        pollfd wait{s, POLLIN, 0};
        if (left <= 0 || ::poll(&wait, 1, static_cast<int>(left)) != 1) return reply + "<still open>";
        char buffer[65536];
        const ssize_t n = ::recv(s, buffer, sizeof buffer, 0);
        if (n <= 0) return reply;
        reply.append(buffer, static_cast<std::size_t>(n));
    }
}

std::string exchange(const std::string& request) {
    UniqueFd s = connectToServer();
    ::send(s.get(), request.data(), request.size(), MSG_NOSIGNAL);
    return readToEnd(s.get());
}

std::string get(const std::string& hashToken, const std::string& headers) {
    return "GET /content/" + hashToken + " HTTP/1.1\r\nHost: peer\r\n" + headers + "\r\n";
}

std::string auth(const std::string& hash, const std::string& group = "lobby") {
    return "X-Quorvela-Auth: " + hmacHex(group, "get:" + hash) + "\r\n";
}

const std::string wholeTen =
    "HTTP/1.1 200 OK\r\nContent-Type: application/octet-stream\r\nContent-Length: 10\r\n"
    "Accept-Ranges: bytes\r\nConnection: close\r\n\r\n0123456789";
const std::string notFound = "HTTP/1.1 404 Not Found\r\nContent-Length: 0\r\nConnection: close\r\n\r\n";
const std::string badRange = "HTTP/1.1 416 Range Not Satisfiable\r\nContent-Length: 0\r\nConnection: close\r\n\r\n";

class ContentServerTest : public ::testing::Test {
protected:
    void SetUp() override {
        LUMETTA_REQUIRE_PRIVATE_NETWORK();
        ASSERT_TRUE(testing::enterFreshNetworkNamespace());
        fs::create_directories(dir.path() / "lumetta");
        ASSERT_TRUE(setConfigString(dir.str(), "groupId", "lobby"));
        ASSERT_TRUE(mesh.start(dir.str(), "SERVER"));
        mesh.registerFile(ten, testing::writeTestFile(dir / "ten", "0123456789").string());
        mesh.registerFile(empty, testing::writeTestFile(dir / "empty", "").string());
        mesh.registerFile(gone, testing::writeTestFile(dir / "gone", "soon gone").string());
        fs::remove(dir / "gone");
    }

    testing::TempDir dir;
    std::ostringstream errors;
    ContentMesh mesh{ContentMeshSettings{nullptr, &errors}};
};

TEST_F(ContentServerTest, RepliesByteForByteWithTheWholeFileARangeOr404Or416) {
    struct Case {
        std::string name;
        std::string request;
        std::string reply;
    };
    const Case cases[] = {
        {"whole", get(ten, auth(ten)), wholeTen},
        {"from 4", get(ten, auth(ten) + "Range: bytes=4-\r\n"),
         "HTTP/1.1 206 Partial Content\r\nContent-Type: application/octet-stream\r\nContent-Length: 6\r\n"
         "Accept-Ranges: bytes\r\nContent-Range: bytes 4-9/10\r\nConnection: close\r\n\r\n456789"},
        {"last byte", get(ten, auth(ten) + "Range: bytes=9-\r\n"),
         "HTTP/1.1 206 Partial Content\r\nContent-Type: application/octet-stream\r\nContent-Length: 1\r\n"
         "Accept-Ranges: bytes\r\nContent-Range: bytes 9-9/10\r\nConnection: close\r\n\r\n9"},
        {"from 0", get(ten, auth(ten) + "Range: bytes=0-\r\n"), wholeTen},
        {"upper-case hash", get(upper(ten), auth(ten)), wholeTen},
        {"HTTP/1.0", "GET /content/" + ten + " HTTP/1.0\r\n" + auth(ten) + "\r\n", wholeTen},
        {"not indexed", get(unknown, auth(unknown)), notFound},
        {"vanished", get(gone, auth(gone)), notFound},
        {"at the size", get(ten, auth(ten) + "Range: bytes=10-\r\n"), badRange},
        {"past the size", get(ten, auth(ten) + "Range: bytes=18446744073709551615-\r\n"), badRange},
        {"overflow", get(ten, auth(ten) + "Range: bytes=18446744073709551616-\r\n"), badRange},
        {"closed range", get(ten, auth(ten) + "Range: bytes=1-3\r\n"), badRange},
        {"suffix", get(ten, auth(ten) + "Range: bytes=-3\r\n"), badRange},
        {"not a number", get(ten, auth(ten) + "Range: bytes=x-\r\n"), badRange},
        {"two ranges", get(ten, auth(ten) + "Range: bytes=1-,4-\r\n"), badRange},
        {"space", get(ten, auth(ten) + "Range: bytes=4- \r\n"), badRange},
    };
    for (const Case& c : cases) EXPECT_EQ(exchange(c.request), c.reply) << c.name;
}

// A file that changed on disk after it was indexed is served as it is, but once the whole of it
// went out and did not match its digest the hash is no longer offered. A part of a file says
// nothing about the whole and changes nothing.
TEST_F(ContentServerTest, AFileThatNoLongerMatchesIsOfferedUntilServedWholeOnce) {
    testing::writeTestFile(dir / "ten", "01234567xx");
    const std::string tail =
        "HTTP/1.1 206 Partial Content\r\nContent-Type: application/octet-stream\r\nContent-Length: 2\r\n"
        "Accept-Ranges: bytes\r\nContent-Range: bytes 8-9/10\r\nConnection: close\r\n\r\nxx";
    EXPECT_EQ(exchange(get(ten, auth(ten) + "Range: bytes=8-\r\n")), tail);
    EXPECT_TRUE(mesh.findLocalContent(ten).has_value());
    const std::string changed =
        "HTTP/1.1 200 OK\r\nContent-Type: application/octet-stream\r\nContent-Length: 10\r\n"
        "Accept-Ranges: bytes\r\nConnection: close\r\n\r\n01234567xx";
    EXPECT_EQ(exchange(get(ten, auth(ten))), changed);
    EXPECT_EQ(exchange(get(ten, auth(ten))), notFound);
    EXPECT_FALSE(mesh.findLocalContent(ten).has_value());
    EXPECT_NE(errors.str().find("[CONTENT MESH] No longer offering " + ten), std::string::npos) << errors.str();

    // The file served whole with the right bytes stays offered.
    mesh.registerFile(ten, testing::writeTestFile(dir / "ten", "0123456789").string());
    EXPECT_EQ(exchange(get(ten, auth(ten))), wholeTen);
    EXPECT_EQ(exchange(get(ten, auth(ten))), wholeTen);
}

TEST_F(ContentServerTest, AnythingElseEndsInSilence) {
    const std::string signature = hmacHex("lobby", "get:" + ten);
    struct Case {
        std::string name;
        std::string request;
    };
    const Case cases[] = {
        {"no auth", get(ten, "")},
        {"header name in lower case", get(ten, "x-quorvela-auth: " + signature + "\r\n")},
        {"two spaces", get(ten, "X-Quorvela-Auth:  " + signature + "\r\n")},
        {"upper-case signature", get(ten, "X-Quorvela-Auth: " + upper(signature) + "\r\n")},
        {"signed for another hash", get(ten, auth(unknown))},
        {"signed over the upper-case hash", get(upper(ten), auth(upper(ten)))},
        {"another group", get(ten, auth(ten, "other group"))},
        {"41 digits", get(ten + "a", auth(ten + "a"))},
        {"39 digits", get(ten.substr(1), auth(ten.substr(1)))},
        {"not hex", get(std::string(39, 'a') + "g", auth(std::string(39, 'a') + "g"))},
        {"empty file", get(empty, auth(empty))},
        {"POST", "POST /content/" + ten + " HTTP/1.1\r\n" + auth(ten) + "\r\n"},
        {"HTTP/2", "GET /content/" + ten + " HTTP/2\r\n" + auth(ten) + "\r\n"},
        {"short line", "GET /content/\r\n" + auth(ten) + "\r\n"},
        {"other path", "GET /files/" + ten + " HTTP/1.1\r\n" + auth(ten) + "\r\n"},
        {"head over 8 KiB", get(ten, auth(ten) + "X-Padding: " + std::string(8200, 'p') + "\r\n")},
        {"head never ends", get(ten, auth(ten)).substr(0, 80)},
    };
    for (const Case& c : cases) EXPECT_EQ(exchange(c.request), "") << c.name;
    // The server still answers afterwards.
    EXPECT_EQ(exchange(get(ten, auth(ten))), wholeTen);
}

TEST_F(ContentServerTest, AHeadTrickledInHoldsTheServerForAtMostTwoSeconds) {
    // One byte every 300 ms: each arrives well within 2 s, but the head never completes in time.
    const std::string request = get(ten, auth(ten));
    UniqueFd slow = connectToServer();
    std::thread trickle([&] {
        for (char c : request) {
            if (::send(slow.get(), &c, 1, MSG_NOSIGNAL) != 1) return;
            std::this_thread::sleep_for(std::chrono::milliseconds(300));
        }
    });
    const auto accepted = Clock::now();
    // A peer that asks meanwhile is served once the trickler has been dropped.
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_EQ(exchange(request), wholeTen);
    const auto served = Clock::now() - accepted;
    EXPECT_EQ(readToEnd(slow.get()), "");
    ::shutdown(slow.get(), SHUT_RDWR);
    trickle.join();
    EXPECT_GE(served, std::chrono::milliseconds(1500));
    EXPECT_LT(served, std::chrono::seconds(5));
}

TEST_F(ContentServerTest, StoppingTheMeshEndsATransferInProgress) {
    const std::string content(4 << 20, 'x');  // about half a second at the serving pace
    mesh.registerFile(big, testing::writeTestFile(dir / "big", content).string());
    UniqueFd s = connectToServer();
    const std::string request = get(big, auth(big));
    ::send(s.get(), request.data(), request.size(), MSG_NOSIGNAL);
    char first[1024];
    ASSERT_GT(::recv(s.get(), first, sizeof first, 0), 0);
    const auto before = Clock::now();
    mesh.stop();
    EXPECT_LT(Clock::now() - before, std::chrono::seconds(5));
    const std::string rest = readToEnd(s.get());
    EXPECT_LT(rest.size() + sizeof first, content.size());
}

}  // namespace
}  // namespace lumetta
