// The content mesh of one player, in-process: start and stop, the index, the intent table and
// the answers to datagrams. Every test runs in a fresh network namespace of its own, so the
// fixed ports never meet another test's.
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

#include "content/content_mesh.h"
#include "core/config_store.h"
#include "core/unique_fd.h"
#include "support/lan.h"
#include "support/manual_clock.h"
#include "support/temp_dir.h"

namespace lumetta {
namespace {

namespace fs = std::filesystem;

const std::string sha1A(40, 'a');
const std::string sha1B = "0123456789abcdef0123456789abcdef01234567";
const std::string sha256C(64, 'c');
const std::string nonce = "00112233445566778899aabbccddeeff";

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

class ContentMeshTest : public ::testing::Test {
protected:
    void SetUp() override {
        LUMETTA_REQUIRE_PRIVATE_NETWORK();
        ASSERT_TRUE(testing::enterFreshNetworkNamespace());
        fs::create_directories(dir.path() / "lumetta");
    }

    ContentMeshSettings settings() {
        ContentMeshSettings s;
        s.clock = &clock;
        s.errors = &errors;
        return s;
    }
    void setGroup(const std::string& group) { ASSERT_TRUE(setConfigString(dir.str(), "groupId", group)); }
    fs::path file(const std::string& name, const std::string& content = "bytes") {
        return testing::writeTestFile(dir / "media" / name, content);
    }

    // Signed datagrams as a peer of the group "lobby" would send them.
    std::string find(const std::string& hashToken, const std::string& signedHash, const std::string& n = nonce,
                     const std::string& group = "lobby") {
        return "QUORVELA_FIND_V2 " + hashToken + " " + n + " " + hmacHex(group, "find:" + signedHash + ":" + n);
    }
    std::string intent(const std::string& hash, const std::string& device, const std::string& seconds,
                       const std::string& signedSeconds = "") {
        const std::string s = signedSeconds.empty() ? seconds : signedSeconds;
        std::string signedHash = hash;  // a receiver checks the lower-cased hash
        for (char& c : signedHash) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        return "QUORVELA_INTENT_V2 " + hash + " " + device + " " + seconds + " " +
               hmacHex("lobby", "intent:" + signedHash + ":" + device + ":" + s);
    }
    std::string have(const std::string& hash, const std::string& device) {
        return "QUORVELA_HAVE_V2 " + hash + " 45873 " + device + " " + nonce + " " +
               hmacHex("lobby", "have:" + hash + ":" + device + ":" + nonce);
    }
    std::int64_t nowSeconds() const { return clock.systemMs() / 1000; }

    testing::TempDir dir;
    testing::ManualClock clock;
    std::ostringstream errors;  // written by the mesh's threads; read once they have ended
};

TEST_F(ContentMeshTest, StartsOnlyWithAGroupIdOfUpTo4096BytesAndAPlainDeviceId) {
    struct Case {
        std::string group;
        std::string device;
        bool starts;
    };
    const Case cases[] = {
        {std::string(4096, 'g'), "DEV1", true},
        {std::string(4097, 'g'), "DEV1", false},
        {"", "DEV1", false},
        {"lobby", "", false},
        {"lobby", "DEV 1", false},
        {"lobby", "DEV1\n", false},
        {"lobby", "DEV\t1", false},
        {"lobby", "DEV\r1", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE("group of " + std::to_string(c.group.size()) + " bytes, device '" + c.device + "'");
        ContentMesh mesh(settings());
        if (c.group.empty()) {
            ASSERT_TRUE(removeConfigKey(dir.str(), "groupId"));
        } else {
            setGroup(c.group);
        }
        EXPECT_EQ(mesh.start(dir.str(), c.device), c.starts);
        EXPECT_EQ(mesh.running(), c.starts);
        mesh.stop();
    }
    EXPECT_EQ(errors.str(), "");  // a mesh kept off by its configuration says nothing

    // No configuration file at all.
    ContentMesh mesh(settings());
    EXPECT_FALSE(mesh.start((dir / "nowhere").string(), "DEV1"));
}

TEST_F(ContentMeshTest, SecondStartKeepsTheFirstIdentityAndKeySignsWithHmacSha256) {
    setGroup("key");
    ContentMesh mesh(settings());
    ASSERT_TRUE(mesh.start(dir.str(), "FIRST"));
    setGroup("changed");
    EXPECT_TRUE(mesh.start(dir.str(), "SECOND"));
    EXPECT_EQ(mesh.deviceId(), "FIRST");
    // A published HMAC-SHA256 test value for the key "key".
    EXPECT_EQ(mesh.signature("The quick brown fox jumps over the lazy dog"),
              "f7bc83f430538424b13298e6aa6fb143ef4d59a14946175997479dbc2d1a3cd8");

    // Only the exact lower-case text verifies.
    const std::string good = mesh.signature("get:" + sha1A);
    EXPECT_TRUE(mesh.verifySignature(good, "get:" + sha1A));
    for (const std::string& bad : {std::string(), good.substr(0, 63), upper(good), good + "0",
                                   hmacHex("changed", "get:" + sha1A)}) {
        EXPECT_FALSE(mesh.verifySignature(bad, "get:" + sha1A)) << bad;
    }

    // After a stop, the new group id and device id take effect.
    mesh.stop();
    ASSERT_TRUE(mesh.start(dir.str(), "SECOND"));
    EXPECT_EQ(mesh.deviceId(), "SECOND");
    EXPECT_EQ(mesh.signature("x"), hmacHex("changed", "x"));
}

TEST_F(ContentMeshTest, AHeldPortIsReportedAndALaterStartSucceeds) {
    setGroup("lobby");
    const auto holdPort = [](int type, std::uint16_t port) {
        UniqueFd s(::socket(AF_INET, type, 0));
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(port);
        EXPECT_EQ(::bind(s.get(), reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
        if (type == SOCK_STREAM) {
            EXPECT_EQ(::listen(s.get(), 1), 0);
        }
        return s;
    };
    for (const auto& [type, port] : {std::pair{SOCK_STREAM, meshContentPort}, std::pair{SOCK_DGRAM, meshDiscoveryPort}}) {
        SCOPED_TRACE(port);
        errors.str("");
        ContentMesh mesh(settings());
        {
            UniqueFd held = holdPort(type, port);
            EXPECT_FALSE(mesh.start(dir.str(), "DEV1"));
            EXPECT_FALSE(mesh.running());
            EXPECT_EQ(errors.str(), "[CONTENT MESH] Could not bind service sockets: Address already in use\n");
        }
        EXPECT_TRUE(mesh.start(dir.str(), "DEV1"));
        mesh.stop();
    }
}

TEST_F(ContentMeshTest, StopIsPromptAndEmptiesTheIndexAndTables) {
    {
        ContentMesh never(settings());
        const auto before = std::chrono::steady_clock::now();
        never.stop();
        EXPECT_LT(std::chrono::steady_clock::now() - before, std::chrono::seconds(1));
        EXPECT_FALSE(never.running());
    }

    setGroup("lobby");
    ContentMesh mesh(settings());
    ASSERT_TRUE(mesh.start(dir.str(), "DEV1"));
    MeshTransferWatch watch{&mesh, nullptr};
    EXPECT_EQ(contentMeshTransferProgress(&watch, 0, 0, 0, 0), 0);
    mesh.registerFile(sha1A, file("a").string());
    mesh.notePeer(sha1B, "OTHER");
    ASSERT_TRUE(mesh.choosePeer(sha256C));
    ASSERT_EQ(mesh.indexSize(), 1u);

    const auto before = std::chrono::steady_clock::now();
    mesh.stop();
    // Both loops wait 250 ms at a time; a generous ceiling keeps a slow machine from failing.
    EXPECT_LT(std::chrono::steady_clock::now() - before, std::chrono::seconds(5));
    EXPECT_FALSE(mesh.running());
    EXPECT_TRUE(mesh.stopRequested());
    EXPECT_EQ(mesh.findLocalContent(sha1A), std::nullopt);
    EXPECT_EQ(mesh.indexSize(), 0u);
    EXPECT_EQ(mesh.intentHashCount(), 0u);
    EXPECT_FALSE(mesh.fetchingHere(sha256C));
    EXPECT_EQ(contentMeshTransferProgress(&watch, 0, 0, 0, 0), 1);
    // A transfer also ends when its own caller gives up.
    ASSERT_TRUE(mesh.start(dir.str(), "DEV1"));
    bool abort = false;
    const std::function<bool()> shouldAbort = [&] { return abort; };
    MeshTransferWatch caller{&mesh, &shouldAbort};
    EXPECT_EQ(contentMeshTransferProgress(&caller, 0, 0, 0, 0), 0);
    abort = true;
    EXPECT_EQ(contentMeshTransferProgress(&caller, 0, 0, 0, 0), 1);
}

TEST_F(ContentMeshTest, TheProcessMeshStartsAndStopsThroughItsFreeFunctions) {
    setGroup("lobby");
    EXPECT_EQ(contentMeshTransferProgress(nullptr, 0, 0, 0, 0), 1);  // never started
    ASSERT_TRUE(startContentMesh(dir.str(), "DEV1"));
    EXPECT_EQ(contentMeshDeviceId(), "DEV1");
    EXPECT_EQ(contentMeshTransferProgress(nullptr, 0, 0, 0, 0), 0);
    registerContentMeshFile(upper(sha1A), file("a").string());
    EXPECT_EQ(findLocalContent(sha1A), fs::canonical(dir / "media" / "a"));
    EXPECT_EQ(contentMeshSignature("x"), hmacHex("lobby", "x"));
    EXPECT_TRUE(verifyContentMeshSignature(hmacHex("lobby", "x"), "x"));
    EXPECT_EQ(concatPrefix("get:", sha1A), "get:" + sha1A);
    stopContentMesh();
    EXPECT_EQ(findLocalContent(sha1A), std::nullopt);
    EXPECT_EQ(contentMeshTransferProgress(nullptr, 0, 0, 0, 0), 1);
    EXPECT_EQ(fetchFromContentMesh(sha1A, (dir / "out").string()), 2);  // stopped on request
}

TEST_F(ContentMeshTest, RegisterKeepsOneCheckedEntryPerHashAndOneHashPerPath) {
    setGroup("lobby");
    ContentMesh mesh(settings());
    const fs::path a = file("a");
    const fs::path b = file("b");

    mesh.registerFile(sha1A, a.string());  // off: nothing
    EXPECT_EQ(mesh.indexSize(), 0u);
    ASSERT_TRUE(mesh.start(dir.str(), "DEV1"));

    struct Refused {
        std::string hash;
        fs::path path;
    };
    for (const Refused& r : {Refused{std::string(63, 'a'), a}, Refused{std::string(65, 'a'), a},
                             Refused{std::string(39, 'a') + "g", a}, Refused{sha1A, dir / "media"},
                             Refused{sha1A, dir / "media" / "missing"}}) {
        mesh.registerFile(r.hash, r.path.string());
        EXPECT_EQ(mesh.indexSize(), 0u) << r.hash << " " << r.path;
    }

    // Upper case is stored in lower case, by the file's canonical path.
    fs::create_directory_symlink(dir / "media", dir / "link");
    mesh.registerFile(upper(sha256C), (dir / "link" / "." / "a").string());
    EXPECT_EQ(mesh.findLocalContent(sha256C), fs::canonical(a));
    // The same hash again: the second path wins.
    mesh.registerFile(sha256C, b.string());
    EXPECT_EQ(mesh.findLocalContent(sha256C), fs::canonical(b));
    // A path registered under a new digest no longer answers for the old one: its bytes changed.
    mesh.registerFile(sha1A, b.string());
    EXPECT_EQ(mesh.findLocalContent(sha256C), std::nullopt);
    EXPECT_EQ(mesh.findLocalContent(sha1A), fs::canonical(b));
    EXPECT_EQ(mesh.indexSize(), 1u);

    // A vanished file is dropped at its lookup.
    mesh.registerFile(sha1B, a.string());
    fs::remove(a);
    EXPECT_EQ(mesh.indexSize(), 2u);
    EXPECT_EQ(mesh.findLocalContent(sha1B), std::nullopt);
    EXPECT_EQ(mesh.indexSize(), 1u);
}

TEST_F(ContentMeshTest, ForgetReleasesOnlyThisPlayersClaimAndIntent) {
    setGroup("lobby");
    ContentMesh mesh(settings());
    ASSERT_TRUE(mesh.start(dir.str(), "B7"));
    mesh.notePeer(sha1A, "C9");
    ASSERT_TRUE(mesh.choosePeer(sha1A));  // B7 < C9
    EXPECT_TRUE(mesh.fetchingHere(sha1A));
    EXPECT_EQ(mesh.intentDevices(sha1A), (std::vector<std::string>{"B7", "C9"}));

    mesh.forgetFile(upper(sha1A));
    EXPECT_FALSE(mesh.fetchingHere(sha1A));
    EXPECT_EQ(mesh.intentDevices(sha1A), std::vector<std::string>{"C9"});

    // With only its own intent left, the hash leaves the table; forgetting works while off too.
    mesh.announceIntent(sha1B);
    mesh.stop();
    mesh.notePeer(sha1B, "B7");
    mesh.forgetFile(sha1B);
    EXPECT_EQ(mesh.intentHashCount(), 0u);
}

TEST_F(ContentMeshTest, ChoosePeerElectsTheSmallestFreshIntent) {
    setGroup("lobby");
    ContentMesh mesh(settings());
    ASSERT_TRUE(mesh.start(dir.str(), "B7"));

    // A smaller id with news just 12 s old still decides; B7 withdraws its own intent.
    mesh.notePeer(sha1A, "A1");
    clock.advance(12'000);
    EXPECT_FALSE(mesh.choosePeer(sha1A));
    EXPECT_EQ(mesh.intentDevices(sha1A), std::vector<std::string>{"A1"});
    EXPECT_FALSE(mesh.fetchingHere(sha1A));

    // 12.5 s without news of A1: it no longer counts and B7 downloads, claiming the hash.
    clock.advance(500);
    EXPECT_TRUE(mesh.choosePeer(sha1A));
    EXPECT_EQ(mesh.intentDevices(sha1A), std::vector<std::string>{"B7"});
    EXPECT_TRUE(mesh.fetchingHere(sha1A));

    // Device ids compare byte by byte, a prefix first.
    mesh.notePeer(sha1B, "B70");
    mesh.notePeer(sha1B, "C");
    EXPECT_TRUE(mesh.choosePeer(sha1B));
    mesh.notePeer(sha256C, "B");
    EXPECT_FALSE(mesh.choosePeer(sha256C));
}

TEST_F(ContentMeshTest, RecordingAnIntentDropsNewsOlderThanTheIntentAge) {
    setGroup("lobby");
    ContentMesh mesh(settings());
    ASSERT_TRUE(mesh.start(dir.str(), "DEV1"));
    mesh.notePeer(sha1A, "OLD");
    mesh.notePeer(sha1B, "OLD");
    clock.advance(6'000);
    mesh.notePeer(sha1B, "NEWER");
    clock.advance(6'000);
    mesh.notePeer(sha256C, "X");  // OLD is exactly 12 s old: kept
    EXPECT_EQ(mesh.intentHashCount(), 3u);
    clock.advance(1);
    mesh.notePeer(sha256C, "X");
    EXPECT_EQ(mesh.intentHashCount(), 2u);
    EXPECT_EQ(mesh.intentDevices(sha1A), std::vector<std::string>{});
    EXPECT_EQ(mesh.intentDevices(sha1B), std::vector<std::string>{"NEWER"});
}

TEST_F(ContentMeshTest, FindIsAnsweredWithHaveBeforeFetchingAndOnlyWhenSignedRight) {
    setGroup("lobby");
    ContentMesh mesh(settings());
    ASSERT_TRUE(mesh.start(dir.str(), "DEV1"));
    mesh.registerFile(sha1A, file("a").string());
    ASSERT_TRUE(mesh.choosePeer(sha1A));  // held and fetched: HAVE wins
    ASSERT_TRUE(mesh.choosePeer(sha1B));

    const std::string haveA = "QUORVELA_HAVE_V2 " + sha1A + " 45873 DEV1 " + nonce + " " +
                              hmacHex("lobby", "have:" + sha1A + ":DEV1:" + nonce);
    const std::string fetchingB = "QUORVELA_FETCHING_V2 " + sha1B + " DEV1 " + nonce + " " +
                                  hmacHex("lobby", "fetching:" + sha1B + ":DEV1:" + nonce);
    EXPECT_EQ(mesh.answerDatagram(find(sha1A, sha1A)), haveA);
    EXPECT_EQ(mesh.answerDatagram(find(sha1B, sha1B)), fetchingB);
    EXPECT_EQ(mesh.answerDatagram(find(sha256C, sha256C)), std::nullopt);
    // An upper-case hash is answered in lower case, when signed over the lower-case text.
    EXPECT_EQ(mesh.answerDatagram(find(upper(sha1A), sha1A)), haveA);
    EXPECT_EQ(mesh.answerDatagram(find(upper(sha1A), upper(sha1A))), std::nullopt);
    // Any white space between tokens, and tokens beyond those expected, are accepted.
    const std::string loose = "QUORVELA_FIND_V2\t " + sha1A + "\n\n" + nonce + "\r\v\f  " +
                              hmacHex("lobby", "find:" + sha1A + ":" + nonce) + " extra tokens ";
    EXPECT_EQ(mesh.answerDatagram(loose), haveA);
    // Once forgotten, the claimed hash gets no answer.
    mesh.forgetFile(sha1B);
    EXPECT_EQ(mesh.answerDatagram(find(sha1B, sha1B)), std::nullopt);
}

TEST_F(ContentMeshTest, BadDatagramsGetNoAnswerAndChangeNothing) {
    setGroup("lobby");
    ContentMesh mesh(settings());
    ASSERT_TRUE(mesh.start(dir.str(), "DEV1"));
    mesh.registerFile(sha1A, file("a").string());
    mesh.notePeer(sha1B, "KNOWN");
    const std::string now = std::to_string(nowSeconds());
    const std::string good = find(sha1A, sha1A);
    ASSERT_TRUE(mesh.answerDatagram(good));

    const std::string cases[] = {
        "",
        " \t\n",
        std::string(1023, 'x'),
        "QUORVELA_FIND_V2",
        "QUORVELA_FIND_V2 " + sha1A,
        "QUORVELA_FIND_V2 " + sha1A + " " + nonce,
        find(std::string(39, 'a'), std::string(39, 'a')),
        find(std::string(41, 'a'), std::string(41, 'a')),
        find(std::string(63, 'c'), std::string(63, 'c')),
        find(std::string(39, 'a') + "z", std::string(39, 'a') + "z"),
        find(sha1A, sha1A, nonce.substr(1)),
        find(sha1A, sha1A, nonce + "0"),
        find(sha1A, sha1A, nonce, "other group"),
        "QUORVELA_FIND_V2 " + sha1A + " " + nonce + " " + upper(hmacHex("lobby", "find:" + sha1A + ":" + nonce)),
        "quorvela_find_v2 " + good.substr(17),
        have(sha1A, "PEER"),  // answers are not questions
        "QUORVELA_FETCHING_V2 " + sha1A + " PEER " + nonce + " " +
            hmacHex("lobby", "fetching:" + sha1A + ":PEER:" + nonce),
        // Intents: bad times, times too far off, wrong signatures, missing tokens.
        intent(sha1A, "PEER", "+" + now),
        intent(sha1A, "PEER", now + "x"),
        intent(sha1A, "PEER", "99999999999999999999"),
        intent(sha1A, "PEER", "-99999999999999999999"),
        intent(sha1A, "PEER", "9223372036854775808"),
        intent(sha1A, "PEER", "-9223372036854775808"),
        intent(sha1A, "PEER", std::to_string(nowSeconds() - 31)),
        intent(sha1A, "PEER", std::to_string(nowSeconds() + 31)),
        intent(sha1A, "PEER", "0" + now, now),  // signed over the number written another way
        intent(sha1A, "PEER", "", ""),
        "QUORVELA_INTENT_V2 " + sha1A + " PEER " + now,
        "QUORVELA_INTENT_V2 " + sha1A + " PEER " + now + " " +
            hmacHex("other group", "intent:" + sha1A + ":PEER:" + now),
        "QUORVELA_INTENT_V2 " + std::string(63, 'a') + " PEER " + now + " " +
            hmacHex("lobby", "intent:" + std::string(63, 'a') + ":PEER:" + now),
    };
    for (const std::string& datagram : cases) {
        EXPECT_EQ(mesh.answerDatagram(datagram), std::nullopt) << datagram.substr(0, 200);
        EXPECT_EQ(mesh.intentHashCount(), 1u) << datagram.substr(0, 200);
        EXPECT_EQ(mesh.intentDevices(sha1B), std::vector<std::string>{"KNOWN"});
        EXPECT_EQ(mesh.indexSize(), 1u);
        EXPECT_FALSE(mesh.fetchingHere(sha1A));
    }
}

TEST_F(ContentMeshTest, IntentsWithin30SecondsEitherSideAreRecorded) {
    setGroup("lobby");
    ContentMesh mesh(settings());
    ASSERT_TRUE(mesh.start(dir.str(), "DEV1"));
    const std::int64_t now = nowSeconds();
    const std::pair<std::string, std::int64_t> cases[] = {
        {"BEHIND", now - 30}, {"AHEAD", now + 30}, {"NOW", now}, {"DEV1", now}};  // its own id too
    for (const auto& [device, seconds] : cases) {
        EXPECT_EQ(mesh.answerDatagram(intent(upper(sha1A), device, std::to_string(seconds))), std::nullopt);
    }
    // Leading zeros are fine when the signature covers them as sent.
    EXPECT_EQ(mesh.answerDatagram(intent(sha1A, "ZEROS", "000" + std::to_string(now))), std::nullopt);
    EXPECT_EQ(mesh.intentDevices(sha1A), (std::vector<std::string>{"AHEAD", "BEHIND", "DEV1", "NOW", "ZEROS"}));

    // A negative time is read as such (and is far off here).
    ContentMeshSettings early = settings();
    testing::ManualClock epoch(10'000, 1);
    early.clock = &epoch;
    mesh.stop();
    ContentMesh old(early);
    ASSERT_TRUE(old.start(dir.str(), "DEV1"));
    old.answerDatagram(intent(sha1A, "MINUS", "-5"));
    old.answerDatagram(intent(sha1A, "PLUS", "41"));
    EXPECT_EQ(old.intentDevices(sha1A), std::vector<std::string>{"MINUS"});
}

TEST_F(ContentMeshTest, TheServiceAnswersAFindFromItsSocketToTheAsker) {
    setGroup("lobby");
    ContentMesh mesh(settings());
    ASSERT_TRUE(mesh.start(dir.str(), "DEV1"));
    mesh.registerFile(sha1A, file("a").string());

    UniqueFd asker(::socket(AF_INET, SOCK_DGRAM, 0));
    sockaddr_in service{};
    service.sin_family = AF_INET;
    service.sin_port = htons(meshDiscoveryPort);
    service.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const auto ask = [&](const std::string& text) {
        ::sendto(asker.get(), text.data(), text.size(), 0, reinterpret_cast<sockaddr*>(&service), sizeof service);
    };
    const auto answer = [&](int timeoutMs) -> std::string {
        pollfd wait{asker.get(), POLLIN, 0};
        if (::poll(&wait, 1, timeoutMs) != 1) return "";
        char buffer[2048];
        sockaddr_in from{};
        socklen_t length = sizeof from;
        const ssize_t n = ::recvfrom(asker.get(), buffer, sizeof buffer, 0, reinterpret_cast<sockaddr*>(&from), &length);
        EXPECT_EQ(ntohs(from.sin_port), meshDiscoveryPort);
        return n > 0 ? std::string(buffer, static_cast<std::size_t>(n)) : "";
    };
    ask("");
    ask(std::string(1500, 'x'));
    ask(find(sha1B, sha1B));
    ask(find(sha1A, sha1A));
    EXPECT_EQ(answer(5000).rfind("QUORVELA_HAVE_V2 " + sha1A + " 45873 DEV1 " + nonce + " ", 0), 0u);
    EXPECT_EQ(answer(300), "");
    // A datagram over 1,023 bytes is cut there; what remains still counts when whole.
    ask(find(sha1A, sha1A) + std::string(2000, ' ') + "tail");
    EXPECT_NE(answer(5000), "");
    ask(std::string(1000, ' ') + find(sha1A, sha1A));
    EXPECT_EQ(answer(300), "");
}

}  // namespace
}  // namespace lumetta
