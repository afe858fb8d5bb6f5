// The pure parts of the WebSocket layer: the URL it accepts, the joining of incoming message
// pieces with the size bound, and the name lookup that runs off the loop.

#include <gtest/gtest.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/host_resolution.h"
#include "platform/websocket_messages.h"
#include "platform/websocket_url.h"

namespace lumetta {
namespace {

TEST(WebSocketUrl, AcceptsTheSecureShapesAndSplitsThem) {
    struct Case {
        const char* url;
        const char* host;
        const char* authority;
        std::uint16_t port;
        const char* path;
        bool ipAddress;
        bool ipv6;
    };
    const Case cases[] = {
        {"wss://service.example/ws?d=ABC123", "service.example", "service.example", 443, "/ws?d=ABC123", false, false},
        {"wss://service.example:8443/ws?d=X", "service.example", "service.example:8443", 8443, "/ws?d=X", false, false},
        {"WSS://Service.Example/", "Service.Example", "Service.Example", 443, "/", false, false},
        {"wss://127.0.0.1:9/", "127.0.0.1", "127.0.0.1:9", 9, "/", true, false},
        {"wss://[::1]:4443/a/b", "::1", "[::1]:4443", 4443, "/a/b", true, true},
        {"wss://[2001:db8::7]/x", "2001:db8::7", "[2001:db8::7]", 443, "/x", true, true},
        {"wss://h:65535/", "h", "h:65535", 65535, "/", false, false},
        {"wss://under_score.local/%20", "under_score.local", "under_score.local", 443, "/%20", false, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.url);
        std::string error;
        const auto parsed = parseWebSocketUrl(c.url, &error);
        ASSERT_TRUE(parsed) << error;
        EXPECT_EQ(parsed->host, c.host);
        EXPECT_EQ(parsed->authority, c.authority);
        EXPECT_EQ(parsed->port, c.port);
        EXPECT_EQ(parsed->path, c.path);
        EXPECT_EQ(parsed->ipAddress, c.ipAddress);
        EXPECT_EQ(parsed->ipv6, c.ipv6);
    }
}

TEST(WebSocketUrl, RefusesAnythingElseWithItsReason) {
    struct Case {
        std::string url;
        const char* reason;
    };
    const Case cases[] = {
        {"ws://service.example/", "wss://"},
        {"https://service.example/", "wss://"},
        {"wss:/", "wss://"},
        {"wss://service.example", "no path"},
        {"wss:///path", "no host"},
        {"wss://:443/", "no host"},
        {"wss://host:/", "port is empty"},
        {"wss://host:0/", "port"},
        {"wss://host:65536/", "port"},
        {"wss://host:44x/", "port"},
        {"wss://host:000443/", "port"},
        {"wss://user@host/", "\"@\""},
        {"wss://host?x/", "\"?\""},
        {"wss://host/a#frag", "fragment"},
        {"wss://host/a b", "space"},
        {"wss://host/a\r\nX-Injected: 1", "control"},
        {std::string("wss://host/\0", 12), "control"},
        {"wss://h\xc3\xa9st/", "non-ASCII"},
        {"wss://ho$t/", "character"},
        {"wss://[::1/", "closing bracket"},
        {"wss://[::1]x/", "after the IPv6"},
        {"wss://[::1]:/", "port is empty"},
        {"wss://[not-an-address]/", "not an IPv6"},
        {"wss://" + std::string(254, 'a') + "/", "253"},
        {"wss://host/" + std::string(kWebSocketUrlLimit, 'p'), "2048"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.url);
        std::string error;
        EXPECT_FALSE(parseWebSocketUrl(c.url, &error));
        EXPECT_NE(error.find(c.reason), std::string::npos) << error;
    }
}

// ---- Joining message pieces ----

struct Piece {
    std::string data;
    bool first;
    bool last;
    bool binary = false;
    std::size_t frameRemaining = 0;
};

// Feeds pieces and writes down what came out: "message <kind> <text>", "too large", "skipped".
std::vector<std::string> assemble(MessageAssembler& assembler, const std::vector<Piece>& pieces) {
    std::vector<std::string> out;
    for (const Piece& p : pieces) {
        MessagePiece piece;
        piece.data = p.data.data();
        piece.length = p.data.size();
        piece.first = p.first;
        piece.last = p.last;
        piece.binary = p.binary;
        piece.frameRemaining = p.frameRemaining;
        switch (assembler.add(piece)) {
        case MessageAssembler::Step::Message:
            out.push_back("message " + std::to_string(assembler.kind()) + " " + std::string(assembler.message()));
            break;
        case MessageAssembler::Step::TooLarge:
            out.push_back("too large");
            break;
        case MessageAssembler::Step::Skipped:
            out.push_back("skipped");
            break;
        case MessageAssembler::Step::Partial:
            break;
        }
    }
    return out;
}

TEST(MessageAssembler, JoinsPiecesAndRefusesWhatPassesTheLimit) {
    using Out = std::vector<std::string>;
    struct Case {
        const char* name;
        std::vector<Piece> pieces;
        Out expected;
    };
    // The limit is 10 bytes.
    const Case cases[] = {
        {"one piece", {{"hello", true, true}}, {"message 1 hello"}},
        {"binary kind", {{"ab", true, true, true}}, {"message 2 ab"}},
        {"empty message", {{"", true, true}}, {"message 1 "}},
        {"one frame read in pieces", {{"abc", true, false, false, 4}, {"defg", false, true}}, {"message 1 abcdefg"}},
        {"frames with empty last", {{"ab", true, false}, {"cd", false, false}, {"", false, true}}, {"message 1 abcd"}},
        {"exactly the limit", {{"0123456789", true, true}}, {"message 1 0123456789"}},
        {"exactly the limit in frames", {{"01234", true, false}, {"56789", false, true}}, {"message 1 0123456789"}},
        {"over the limit in one piece, then the next message",
         {{"0123456789X", true, true}, {"ok", true, true}},
         {"too large", "message 1 ok"}},
        {"over the limit known from the frame header",
         {{"0123", true, false, false, 7}, {"456", false, false, false, 4}, {"789X", false, true}, {"ok", true, true}},
         {"too large", "skipped", "skipped", "message 1 ok"}},
        {"over the limit on a later frame",
         {{"012345", true, false}, {"6789", false, false}, {"X", false, false}, {"more", false, true}, {"ok", true, true}},
         {"too large", "skipped", "message 1 ok"}},
        {"a new start abandons an unfinished message",
         {{"stale", true, false}, {"fresh", true, true}},
         {"message 1 fresh"}},
        {"pieces that belong to no message", {{"stray", false, false}, {"end", false, true}, {"ok", true, true}},
         {"skipped", "skipped", "message 1 ok"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        MessageAssembler assembler(10);
        EXPECT_EQ(assemble(assembler, c.pieces), c.expected);
        EXPECT_EQ(assembler.buffered(), 0u);
    }
}

TEST(MessageAssembler, KeepsNothingOfARefusedMessageAndCopiesNothingOfAWholeOne) {
    MessageAssembler assembler(16);
    // A frame that announces more than the limit is refused at its first piece.
    const std::string start(8, 'x');
    MessagePiece piece{start.data(), start.size(), true, false, false, std::size_t{1} << 40};
    EXPECT_EQ(assembler.add(piece), MessageAssembler::Step::TooLarge);
    EXPECT_EQ(assembler.buffered(), 0u);
    // A length near the top of size_t cannot wrap the check round.
    piece = MessagePiece{start.data(), start.size(), false, false, false, SIZE_MAX};
    EXPECT_EQ(assembler.add(piece), MessageAssembler::Step::Skipped);
    MessageAssembler other(16);
    piece = MessagePiece{start.data(), start.size(), true, false, false, SIZE_MAX - 4};
    EXPECT_EQ(other.add(piece), MessageAssembler::Step::TooLarge);

    // A message in one piece is handed back in place.
    const std::string whole = "in place";
    EXPECT_EQ(assembler.add(MessagePiece{whole.data(), whole.size(), true, true, false, 0}),
              MessageAssembler::Step::Message);
    EXPECT_EQ(assembler.message().data(), whole.data());
}

// ---- Lookups off the loop ----

bool readable(int fd, int timeoutMs) {
    pollfd p{fd, POLLIN, 0};
    return ::poll(&p, 1, timeoutMs) == 1;
}

TEST(HostLookup, HandsItsAnswerOverThroughTheDescriptor) {
    struct Case {
        const char* name;
        HostResolver resolver;
        std::vector<std::string> addresses;
        std::string error;
    };
    const Case cases[] = {
        {"addresses", [](const std::string&, std::uint16_t) { return HostAddresses{{"192.0.2.1", "2001:db8::1"}, ""}; },
         {"192.0.2.1", "2001:db8::1"}, ""},
        {"failure", [](const std::string&, std::uint16_t) { return HostAddresses{{}, "Name or service not known"}; },
         {}, "Name or service not known"},
        {"exception",
         [](const std::string&, std::uint16_t) -> HostAddresses { throw std::runtime_error("resolver broke"); },
         {}, "resolver broke"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        auto lookup = HostLookup::start("service.example", 443, c.resolver);
        ASSERT_TRUE(readable(lookup->descriptor(), 5000));
        EXPECT_TRUE(lookup->finished());
        EXPECT_EQ(lookup->answer().addresses, c.addresses);
        EXPECT_EQ(lookup->answer().error, c.error);
    }
}

TEST(HostLookup, ALateAnswerAfterTheLoopGaveUpTouchesNothingFreed) {
    struct Gate {
        std::mutex mutex;
        std::condition_variable opened;
        bool open = false;
        std::atomic<bool> entered{false};
    };
    auto gate = std::make_shared<Gate>();
    std::weak_ptr<HostLookup> watch;
    {
        auto lookup = HostLookup::start("slow.example", 443, [gate](const std::string& host, std::uint16_t port) {
            gate->entered = true;
            std::unique_lock lock(gate->mutex);
            gate->opened.wait(lock, [&] { return gate->open; });
            return HostAddresses{{host + ":" + std::to_string(port)}, ""};
        });
        watch = lookup;
        while (!gate->entered) std::this_thread::yield();
        EXPECT_FALSE(lookup->finished());
    }  // the loop lets go while the worker is still in the resolver
    EXPECT_FALSE(watch.expired()) << "the worker keeps the lookup alive";
    {
        std::lock_guard lock(gate->mutex);
        gate->open = true;
    }
    gate->opened.notify_all();
    // The worker finishes, writes its answer into the lookup it holds, and frees it.
    const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (!watch.expired() && std::chrono::steady_clock::now() < limit) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    EXPECT_TRUE(watch.expired());
}

// The loop closes the descriptor on its own thread while the worker still waits in the resolver;
// the late answer must not reach whatever file now has that descriptor's number.
TEST(HostLookup, TheLoopClosesTheDescriptorItselfAndALateAnswerSignalsNothing) {
    struct Gate {
        std::mutex mutex;
        std::condition_variable opened;
        bool open = false;
        std::atomic<bool> entered{false};
    };
    auto gate = std::make_shared<Gate>();
    std::weak_ptr<HostLookup> watch;
    int number = -1;
    {
        auto lookup = HostLookup::start("slow.example", 443, [gate](const std::string& host, std::uint16_t) {
            gate->entered = true;
            std::unique_lock lock(gate->mutex);
            gate->opened.wait(lock, [&] { return gate->open; });
            return HostAddresses{{host}, ""};
        });
        watch = lookup;
        while (!gate->entered) std::this_thread::yield();
        number = lookup->descriptor();
        ASSERT_GE(number, 0);
        lookup->closeDescriptor();
        errno = 0;
        EXPECT_EQ(::fcntl(number, F_GETFD), -1) << "closed at once, on the caller's thread";
        EXPECT_EQ(errno, EBADF);
        EXPECT_EQ(lookup->descriptor(), -1);
        lookup->closeDescriptor();  // a second close changes nothing
    }
    // The lowest free number is taken again, as the loop's next socket would take it.
    const int reused = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    ASSERT_GE(reused, 0);
    {
        std::lock_guard lock(gate->mutex);
        gate->open = true;
    }
    gate->opened.notify_all();
    const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (!watch.expired() && std::chrono::steady_clock::now() < limit) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    EXPECT_TRUE(watch.expired());
    std::uint64_t count = 0;
    errno = 0;
    EXPECT_EQ(::read(reused, &count, sizeof count), -1) << "the late answer wrote " << count << " into descriptor "
                                                         << reused << " (the lookup's was " << number << ")";
    EXPECT_EQ(errno, EAGAIN);
    ::close(reused);
}

TEST(HostLookup, TheSystemResolverReturnsAnAddressLiteralAsItIs) {
    EXPECT_EQ(systemResolve("127.0.0.1", 443).addresses, std::vector<std::string>{"127.0.0.1"});
}

}  // namespace
}  // namespace lumetta
