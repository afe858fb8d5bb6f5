// Discovery: signed datagrams that ask who holds or fetches a file, and the choice of the one
// player that downloads it from the origin.
//
//   FIND      asker -> 255.255.255.255:45872  tag hash nonce signature("find:" hash ":" nonce)
//   HAVE      answerer -> asker (unicast)     tag hash port deviceId nonce signature("have:" hash ":" deviceId ":" nonce)
//   FETCHING  answerer -> asker (unicast)     tag hash deviceId nonce signature("fetching:" hash ":" deviceId ":" nonce)
//   INTENT    announcer -> 255.255.255.255    tag hash deviceId unixSeconds signature("intent:" hash ":" deviceId ":" unixSeconds)
//
// Tokens are sent with single spaces; a receiver splits on any run of white space and ignores
// tokens beyond those it expects.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <openssl/rand.h>
#include <sys/select.h>
#include <sys/socket.h>

#include <cerrno>
#include <chrono>
#include <thread>

#include "content/content_mesh.h"
#include "content/mesh_datagram.h"
#include "core/unique_fd.h"

namespace lumetta {
namespace {

constexpr const char* findTag = "QUORVELA_FIND_V2";
constexpr const char* haveTag = "QUORVELA_HAVE_V2";
constexpr const char* fetchingTag = "QUORVELA_FETCHING_V2";
constexpr const char* intentTag = "QUORVELA_INTENT_V2";

constexpr std::size_t datagramLimit = 1023;
constexpr std::size_t nonceLength = 32;
constexpr auto searchWindow = std::chrono::milliseconds(900);
constexpr auto intentStep = std::chrono::milliseconds(450);

std::string hex(const unsigned char* bytes, std::size_t length) {
    static constexpr char digits[] = "0123456789abcdef";
    std::string text;
    text.reserve(length * 2);
    for (std::size_t i = 0; i < length; ++i) {
        text.push_back(digits[bytes[i] >> 4]);
        text.push_back(digits[bytes[i] & 0x0f]);
    }
    return text;
}

sockaddr_in everyone() {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_BROADCAST);
    address.sin_port = htons(meshDiscoveryPort);
    return address;
}

// A fresh datagram socket that may send broadcasts, or none.
UniqueFd broadcastSocket() {
    UniqueFd s(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    const int one = 1;
    if (s && ::setsockopt(s.get(), SOL_SOCKET, SO_BROADCAST, &one, sizeof one) != 0) s.reset();
    return s;
}

bool sendTo(int s, const std::string& text, const sockaddr_in& to) {
    return ::sendto(s, text.data(), text.size(), 0, reinterpret_cast<const sockaddr*>(&to), sizeof to) >= 0;
}

}  // namespace

std::string ContentMesh::signature(const std::string& text) const {
    const std::string groupKey = key();
    unsigned char out[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (HMAC(EVP_sha256(), groupKey.data(), static_cast<int>(groupKey.size()),
             reinterpret_cast<const unsigned char*>(text.data()), text.size(), out, &length) == nullptr) {
        return {};
    }
    return hex(out, length);
}

bool ContentMesh::verifySignature(const std::string& received, const std::string& text) const {
    const std::string expected = signature(text);
    if (expected.empty() || expected.size() != received.size()) return false;
    unsigned char difference = 0;
    for (std::size_t i = 0; i < expected.size(); ++i) {
        difference |= static_cast<unsigned char>(expected[i] ^ received[i]);
    }
    return difference == 0;
}

std::optional<std::string> ContentMesh::answerDatagram(std::string_view datagram) {
    const std::vector<std::string_view> tokens = meshTokens(datagram);
    if (tokens.size() < 2) return std::nullopt;
    const std::optional<std::string> hash = normalisedContentHash(tokens[1]);
    if (!hash) return std::nullopt;

    if (tokens[0] == intentTag) {
        if (tokens.size() < 5) return std::nullopt;
        const std::string sender(tokens[2]);
        const std::string seconds(tokens[3]);
        const std::optional<std::int64_t> sent = parseUnixSeconds(seconds);
        if (!sent) return std::nullopt;
        const std::int64_t now = clock_.systemMs() / 1000;
        if (!withinWindow(now, *sent, settings_.intentClockWindowSeconds)) return std::nullopt;
        if (!verifySignature(std::string(tokens[4]), "intent:" + *hash + ":" + sender + ":" + seconds)) {
            return std::nullopt;
        }
        notePeer(*hash, sender);
        return std::nullopt;
    }

    if (tokens[0] != findTag || tokens.size() < 4 || tokens[2].size() != nonceLength) return std::nullopt;
    const std::string nonce(tokens[2]);
    if (!verifySignature(std::string(tokens[3]), "find:" + *hash + ":" + nonce)) return std::nullopt;

    const std::string self = deviceId();
    if (findLocalContent(*hash)) {
        return concatPrefix("QUORVELA_HAVE_V2 ", *hash) + " " + std::to_string(meshContentPort) + " " + self + " " +
               nonce + " " + signature("have:" + *hash + ":" + self + ":" + nonce);
    }
    {
        std::lock_guard<std::mutex> peers(peerMutex_);
        if (fetchingHere_.count(*hash) == 0) return std::nullopt;
    }
    return concatPrefix("QUORVELA_FETCHING_V2 ", *hash) + " " + self + " " + nonce + " " +
           signature("fetching:" + *hash + ":" + self + ":" + nonce);
}

void ContentMesh::handleDatagram(int udpSocket) {
    char buffer[datagramLimit + 1] = {};
    sockaddr_in source{};
    socklen_t sourceLength = sizeof source;
    const ssize_t received =
        ::recvfrom(udpSocket, buffer, datagramLimit, 0, reinterpret_cast<sockaddr*>(&source), &sourceLength);
    if (received < 1) return;
    const std::optional<std::string> answer = answerDatagram(std::string_view(buffer, static_cast<std::size_t>(received)));
    if (answer) sendTo(udpSocket, *answer, source);  // a lost answer is a search that found less
}

void ContentMesh::pruneIntentsLocked(std::int64_t now) {
    const std::int64_t oldest = now - settings_.intentMaxAgeMs;
    for (auto hash = intents_.begin(); hash != intents_.end();) {
        std::erase_if(hash->second, [&](const auto& entry) { return entry.second < oldest; });
        hash = hash->second.empty() ? intents_.erase(hash) : std::next(hash);
    }
}

void ContentMesh::notePeer(const std::string& hash, const std::string& deviceId) {
    std::lock_guard<std::mutex> peers(peerMutex_);
    const std::int64_t now = clock_.steadyMs();
    // Intents for hashes this player never decides on would otherwise stay for good.
    pruneIntentsLocked(now);
    intents_[hash][deviceId] = now;
}

std::optional<MeshPeer> ContentMesh::findOnPeers(const std::string& hash) {
    UniqueFd s = broadcastSocket();
    if (!s) return std::nullopt;
    unsigned char random[16];
    if (RAND_bytes(random, sizeof random) != 1) return std::nullopt;
    const std::string nonce = hex(random, sizeof random);
    const std::string request =
        concatPrefix("QUORVELA_FIND_V2 ", hash) + " " + nonce + " " + signature("find:" + hash + ":" + nonce);
    if (!sendTo(s.get(), request, everyone())) return std::nullopt;

    const auto deadline = std::chrono::steady_clock::now() + searchWindow;
    const std::string self = deviceId();
    std::optional<MeshPeer> candidate;
    while (running_.load()) {
        const auto remaining =
            std::chrono::duration_cast<std::chrono::microseconds>(deadline - std::chrono::steady_clock::now());
        if (remaining.count() <= 0) break;
        fd_set set;
        FD_ZERO(&set);
        FD_SET(s.get(), &set);
        timeval wait{static_cast<time_t>(remaining.count() / 1'000'000),
                     static_cast<suseconds_t>(remaining.count() % 1'000'000)};
        const int ready = ::select(s.get() + 1, &set, nullptr, nullptr, &wait);
        if (ready < 0 && errno == EINTR) continue;
        if (ready <= 0) break;

        char buffer[datagramLimit + 1] = {};
        sockaddr_in source{};
        socklen_t sourceLength = sizeof source;
        const ssize_t received =
            ::recvfrom(s.get(), buffer, datagramLimit, 0, reinterpret_cast<sockaddr*>(&source), &sourceLength);
        if (received < 1) continue;
        const std::vector<std::string_view> tokens =
            meshTokens(std::string_view(buffer, static_cast<std::size_t>(received)));
        if (tokens.size() < 2 || normalisedContentHash(tokens[1]) != hash) continue;

        if (tokens[0] == fetchingTag) {
            if (tokens.size() < 5) continue;
            const std::string peer(tokens[2]);
            if (tokens[3] != nonce || peer == self) continue;
            if (!verifySignature(std::string(tokens[4]), "fetching:" + hash + ":" + peer + ":" + nonce)) continue;
            notePeer(hash, peer);
            candidate = MeshPeer{"", 0, true, peer};
            continue;
        }
        if (tokens[0] != haveTag || tokens.size() < 6) continue;
        const std::optional<std::uint16_t> port = parsePort(tokens[2]);
        const std::string peer(tokens[3]);
        if (!port || tokens[4] != nonce || peer == self) continue;
        if (!verifySignature(std::string(tokens[5]), "have:" + hash + ":" + peer + ":" + nonce)) continue;
        char address[INET_ADDRSTRLEN] = {};
        if (::inet_ntop(AF_INET, &source.sin_addr, address, sizeof address) == nullptr) continue;
        return MeshPeer{address, *port, false, peer};
    }
    return candidate;
}

void ContentMesh::announceIntent(const std::string& hash) {
    const std::string self = deviceId();
    notePeer(hash, self);  // recorded even when the broadcast fails
    UniqueFd s = broadcastSocket();
    if (!s) return;
    const std::string seconds = std::to_string(clock_.systemMs() / 1000);
    const std::string message = concatPrefix("QUORVELA_INTENT_V2 ", hash) + " " + self + " " + seconds + " " +
                                signature("intent:" + hash + ":" + self + ":" + seconds);
    sendTo(s.get(), message, everyone());
}

bool ContentMesh::choosePeer(const std::string& hash) {
    // Two announcements 450 ms apart; meanwhile the intents of the others arrive.
    announceIntent(hash);
    std::this_thread::sleep_for(intentStep);
    announceIntent(hash);
    std::this_thread::sleep_for(intentStep);

    std::lock_guard<std::mutex> peers(peerMutex_);
    const std::string self = deviceId();
    const std::int64_t now = clock_.steadyMs();
    std::map<std::string, std::int64_t>& devices = intents_[hash];
    const std::int64_t oldest = now - settings_.intentMaxAgeMs;
    std::erase_if(devices, [&](const auto& entry) { return entry.second < oldest; });
    if (!devices.empty() && devices.begin()->first != self) {
        devices.erase(self);  // withdrawn, so that it keeps nobody waiting
        return false;
    }
    fetchingHere_.insert(hash);
    devices[self] = now;
    return true;
}

}  // namespace lumetta
