// Copies between players on the test LAN: a fetcher (a probe process in its own namespace)
// against a real holder, against peers that misbehave (a fake holder in this process, its
// HTTP side the scripted test server), and while another player is still fetching the file.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <poll.h>
#include <sys/socket.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <memory>
#include <set>
#include <sstream>
#include <string>
#include <thread>

#include "content/content_mesh.h"
#include "content/mesh_datagram.h"
#include "core/config_store.h"
#include "core/unique_fd.h"
#include "support/https_server.h"
#include "support/lan.h"
#include "support/temp_dir.h"

namespace lumetta {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;


std::string hexOf(const unsigned char* bytes, unsigned int length) {
    std::string hex;
    char digits[3];
    for (unsigned i = 0; i < length; ++i) {
        std::snprintf(digits, sizeof digits, "%02x", bytes[i]);
        hex += digits;
    }
    return hex;
}

std::string hmacHex(const std::string& key, const std::string& text) {
    unsigned char out[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    HMAC(EVP_sha256(), key.data(), static_cast<int>(key.size()), reinterpret_cast<const unsigned char*>(text.data()),
         text.size(), out, &length);
    return hexOf(out, length);
}

std::string pattern(std::size_t size) {
    std::string text(size, '\0');
    for (std::size_t i = 0; i < size; ++i) text[i] = static_cast<char>((i * 7 + i / 1000) & 0xff);
    return text;
}

std::string sha1Hex(const std::string& bytes) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    EVP_Digest(bytes.data(), bytes.size(), digest, &length, EVP_sha1(), nullptr);
    return hexOf(digest, length);
}

// What a holder serves whole is checked against the hash it is offered under, so the file that
// is copied and resumed is held under its own digest.
const std::string heldContent = pattern(300'000);
const std::string hash = sha1Hex(heldContent);

std::string readAll(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

struct Player {
    Player(testing::LanHost& host, const std::string& id) {
        fs::create_directories(dir.path() / "lumetta");
        EXPECT_TRUE(setConfigString(dir.str(), "groupId", "lobby"));
        probe = host.start({MESH_PROBE});
        EXPECT_EQ(probe->ask("start " + dir.str() + " " + id), "started 1") << probe->errors();
    }
    std::string ask(const std::string& line) { return probe->ask(line).value_or("<no answer>"); }
    fs::path holds(const std::string& content) {
        const fs::path path = testing::writeTestFile(dir / "media" / "held", content);
        EXPECT_EQ(ask("register " + hash + " " + path.string()), "ok");
        return path;
    }
    // Starts a copy into "copy" in its data directory; its answer comes later.
    void fetch(const std::string& timings = "") { ASSERT_TRUE(probe->send("fetch " + hash + " " + copy().string() + timings)); }
    fs::path copy() const { return dir / "copy"; }

    testing::TempDir dir;
    std::unique_ptr<testing::Probe> probe;
};

// A peer that answers every search with HAVE, pointing at a scripted HTTP server of its own.
class FakeHolder {
public:
    FakeHolder(testing::LanHost& host, const testing::ScriptedResponse& response) {
        host.runInside([&] {  // the server and its threads live in the host's namespace
            server_ = std::make_unique<testing::TestHttpsServer>(
                testing::TestHttpsServer::Options{.address = host.address(), .tls = false});
        });
        server_->respond("/content/" + hash, response);
        socket_ = UniqueFd(host.openSocket(AF_INET, SOCK_DGRAM));
        const int one = 1;
        ::setsockopt(socket_.get(), SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        sockaddr_in any{};
        any.sin_family = AF_INET;
        any.sin_port = htons(meshDiscoveryPort);
        EXPECT_EQ(::bind(socket_.get(), reinterpret_cast<sockaddr*>(&any), sizeof any), 0);
        answering_ = std::jthread([this, port = server_->port()](std::stop_token stop) { answer(stop, port); });
    }
    testing::TestHttpsServer& server() { return *server_; }
    // The peer drops off: no more HTTP, though it still says it holds the file.
    void closeServer() { server_.reset(); }

private:
    void answer(std::stop_token stop, std::uint16_t port) {
        while (!stop.stop_requested()) {
            pollfd wait{socket_.get(), POLLIN, 0};
            if (::poll(&wait, 1, 100) != 1) continue;
            char buffer[1024];
            sockaddr_in from{};
            socklen_t length = sizeof from;
            const ssize_t n = ::recvfrom(socket_.get(), buffer, sizeof buffer, 0, reinterpret_cast<sockaddr*>(&from), &length);
            if (n <= 0) continue;
            const auto tokens = meshTokens(std::string_view(buffer, static_cast<std::size_t>(n)));
            if (tokens.size() < 4 || tokens[0] != "QUORVELA_FIND_V2") continue;
            const std::string nonce(tokens[2]);
            const std::string reply = "QUORVELA_HAVE_V2 " + hash + " " + std::to_string(port) + " FAKE " + nonce + " " +
                                      hmacHex("lobby", "have:" + hash + ":FAKE:" + nonce);
            ::sendto(socket_.get(), reply.data(), reply.size(), 0, reinterpret_cast<sockaddr*>(&from), length);
        }
    }

    std::unique_ptr<testing::TestHttpsServer> server_;
    UniqueFd socket_;
    std::jthread answering_;
};

class MeshTransferTest : public ::testing::Test {
protected:
    void SetUp() override {
        LUMETTA_REQUIRE_PRIVATE_NETWORK();
        lan = std::make_unique<testing::Lan>();
    }
    std::unique_ptr<testing::Lan> lan;
};

TEST_F(MeshTransferTest, CopiesFromAHolderAndResumesAPartialFile) {
    Player holder(lan->addHost(), "A1");
    Player fetcher(lan->addHost(), "B7");
    const std::string& content = heldContent;
    holder.holds(content);

    fetcher.fetch();
    EXPECT_EQ(fetcher.probe->readLine(), "fetch 1");
    EXPECT_TRUE(readAll(fetcher.copy()) == content);
    EXPECT_EQ(fetcher.ask("fetching " + hash), "fetching 0");

    // A partial file of 1,000 bytes continues from there.
    testing::writeTestFile(fetcher.copy(), content.substr(0, 1000));
    fetcher.fetch();
    EXPECT_EQ(fetcher.probe->readLine(), "fetch 1");
    EXPECT_TRUE(readAll(fetcher.copy()) == content);

    // A partial file as long as the holder's own gets 416: the origin it is, the file kept.
    fetcher.fetch();
    EXPECT_EQ(fetcher.probe->readLine(), "fetch 0");
    EXPECT_TRUE(readAll(fetcher.copy()) == content);
    EXPECT_EQ(fetcher.ask("fetching " + hash), "fetching 1");
}

TEST_F(MeshTransferTest, PeersThatFailTheCopySendTheFetcherToTheOriginWithItsPartialFileKept) {
    const std::string content = pattern(100'000);
    struct Case {
        std::string name;
        testing::ScriptedResponse response;
        std::string partial;  // what the copy holds before
        std::size_t keptSize;  // and after
        bool vanish = false;
    };
    const Case cases[] = {
        {"200 to a resume", {.body = content}, content.substr(0, 1000), 1000},
        {"closes mid-body", {.body = content, .closeAfter = 30'000}, "", 30'000},
        {"500", {.status = 500}, "", 0},
        {"stalls", {.body = content, .stallAfter = 20'000, .stallMs = 20'000}, "", 20'000},
        {"vanished", {.body = content}, content.substr(0, 500), 500, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        testing::Lan caseLan;
        FakeHolder fake(caseLan.addHost(), c.response);
        Player fetcher(caseLan.addHost(), "B7");
        if (!c.partial.empty()) testing::writeTestFile(fetcher.copy(), c.partial);
        if (c.vanish) fake.closeServer();
        fetcher.fetch(" 1000 12000 7200000 1");  // under 1,024 B/s for 1 s ends a stalled copy
        EXPECT_EQ(fetcher.probe->readLine(), "fetch 0");
        EXPECT_EQ(fetcher.ask("fetching " + hash), "fetching 1");
        std::error_code error;
        EXPECT_EQ(fs::exists(fetcher.copy()) ? fs::file_size(fetcher.copy(), error) : 0u, c.keptSize);
        if (!c.vanish) {
            const auto requests = fake.server().requests();
            ASSERT_EQ(requests.size(), 1u);
            EXPECT_EQ(requests[0].header("X-Quorvela-Auth"), hmacHex("lobby", "get:" + hash));
            EXPECT_EQ(requests[0].header("Range"), c.partial.empty() ? "" : "bytes=" + std::to_string(c.partial.size()) + "-");
        }
    }
}

TEST_F(MeshTransferTest, AFetchingPeerKeepsTheFetcherWaitingUntilItHoldsTheFile) {
    Player first(lan->addHost(), "B7");
    Player waiting(lan->addHost(), "A0");
    ASSERT_EQ(first.ask("choose " + hash), "choose 1");  // B7 downloads it from the origin

    // Searches every 100 ms (each one listens 900 ms); 2.5 s without news of B7 would decide
    // again, but B7 keeps answering that it is fetching.
    waiting.fetch(" 100 2500 60000");
    EXPECT_EQ(waiting.probe->readLine(5000), std::nullopt);
    const std::string content = pattern(50'000);
    first.holds(content);
    EXPECT_EQ(waiting.probe->readLine(), "fetch 1");
    EXPECT_TRUE(readAll(waiting.copy()) == content);
}

TEST_F(MeshTransferTest, SilenceOfTheFetchingPeerLeadsToANewChoice) {
    Player first(lan->addHost(), "B7");
    Player waiting(lan->addHost(), "A0");
    ASSERT_EQ(first.ask("choose " + hash), "choose 1");
    waiting.fetch(" 100 2500 60000");
    EXPECT_EQ(waiting.probe->readLine(1500), std::nullopt);
    // B7 gives up without the file; A0 hears nothing for 2.5 s and, smallest, downloads itself.
    EXPECT_EQ(first.ask("forget " + hash), "ok");
    EXPECT_EQ(waiting.probe->readLine(), "fetch 0");
    EXPECT_EQ(waiting.ask("fetching " + hash), "fetching 1");
}

TEST_F(MeshTransferTest, AStopEndsAWaitAndATransferWith2) {
    // A wait for a fetching peer.
    Player first(lan->addHost(), "B7");
    Player waiting(lan->addHost(), "A0");
    ASSERT_EQ(first.ask("choose " + hash), "choose 1");
    waiting.fetch();
    EXPECT_EQ(waiting.probe->readLine(1500), std::nullopt);
    auto before = Clock::now();
    ASSERT_TRUE(waiting.probe->send("stop"));
    std::set<std::string> lines{waiting.probe->readLine().value_or(""), waiting.probe->readLine().value_or("")};
    EXPECT_EQ(lines, (std::set<std::string>{"stopped", "fetch 2"}));
    EXPECT_LT(Clock::now() - before, std::chrono::seconds(5));
    std::cout << "[ STOP     ] a wait ended after "
              << std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - before).count() << " ms\n";

    // A transfer: 40 MB take about five seconds at the serving pace.
    Player holder(lan->addHost(), "C3");
    Player fetcher(lan->addHost(), "D4");
    holder.holds(pattern(40'000'000));
    fetcher.fetch();
    const auto started = Clock::now();
    std::error_code error;
    while (Clock::now() - started < std::chrono::seconds(10) &&
           (!fs::exists(fetcher.copy()) || fs::file_size(fetcher.copy(), error) < 1'000'000)) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    before = Clock::now();
    ASSERT_TRUE(fetcher.probe->send("stop"));
    lines = {fetcher.probe->readLine().value_or(""), fetcher.probe->readLine().value_or("")};
    EXPECT_EQ(lines, (std::set<std::string>{"stopped", "fetch 2"}));
    EXPECT_LT(Clock::now() - before, std::chrono::seconds(5));
    std::cout << "[ STOP     ] a transfer ended after "
              << std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - before).count() << " ms\n";
    EXPECT_LT(fs::file_size(fetcher.copy(), error), 40'000'000u);
}

}  // namespace
}  // namespace lumetta
