#pragma once
// The LAN content mesh: players of one group share verified media, so that one of them fetches a
// file from the origin and the others copy it from that player.
//
// One `ContentMesh` holds everything: the service (a thread on UDP 45872 answering searches, and
// its accept thread on TCP 45873 serving files), the identity (device id and the group id as
// the key of every signature), the index of local files that peers may fetch, and the tables of
// who intends to fetch what. The process has one (`contentMesh()`); the free functions at the end
// are its interface for the rest of the player. Tests build their own with a manual clock.
//
// Lock order: lifecycle, then index, then peers, then identity (held only to copy a string).

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <future>
#include <map>
#include <mutex>
#include <optional>
#include <ostream>
#include <set>
#include <string>
#include <string_view>
#include <thread>
#include <unordered_map>
#include <vector>

#include <curl/curl.h>

#include "core/clock.h"

namespace lumetta {

inline constexpr std::uint16_t meshDiscoveryPort = 45872;
inline constexpr std::uint16_t meshContentPort = 45873;
// Longest group id that is taken as a key.
inline constexpr std::size_t maxMeshGroupIdLength = 4096;

// A peer that answered a search: one that holds the file (served at address:port) or one that
// is downloading it right now (fetching; no address).
struct MeshPeer {
    std::string address;  // dotted IPv4; empty for a fetching peer
    std::uint16_t port = 0;
    bool fetching = false;
    std::string deviceId;
};

// The hash lower-cased when it is 40 or 64 hexadecimal digits (SHA-1, SHA-256), else none.
std::optional<std::string> normalisedContentHash(std::string_view hash);

// How the mesh tells time, where it reports, and its waits. Production values by default.
struct ContentMeshSettings {
    Clock* clock = nullptr;          // wall time of intents, steady time of the intent table; systemClock() when null
    std::ostream* errors = nullptr;  // its log lines; std::cerr when null
    std::int64_t intentMaxAgeMs = 12'000;         // older news of an intent no longer counts
    std::int64_t intentClockWindowSeconds = 30;   // an intent's time may differ this much from ours
};

// What a copy from a peer waits for and how long it may take. Production values by default.
struct MeshFetchOptions {
    std::int64_t peerPollMs = 1'000;          // a new search this often while a peer is fetching
    std::int64_t silentPeerLimitMs = 12'000;  // no news of the fetching peer this long: decide again
    std::int64_t waitLimitMs = 7'200'000;     // the whole wait for a fetching peer
    long connectTimeoutSeconds = 3;
    long transferTimeoutSeconds = 7'200;
    long lowSpeedLimit = 1'024;               // bytes per second ...
    long lowSpeedTimeSeconds = 30;            // ... for this long ends the transfer
    std::function<bool()> shouldAbort;        // true: give up (result 2), as when the mesh stops
};

class ContentMesh {
public:
    explicit ContentMesh(ContentMeshSettings settings = {});
    ~ContentMesh();  // stops the service
    ContentMesh(const ContentMesh&) = delete;
    ContentMesh& operator=(const ContentMesh&) = delete;

    // ---- Service and index ----

    // Reads "groupId" from the configuration under `baseDirectory` and starts the service with it
    // as the key. True when the mesh runs on return (already running, or started now). False with
    // no line when the group id is empty or longer than 4,096 bytes or the device id is empty or
    // holds white space; false with a "[CONTENT MESH] ..." line when the sockets or the thread
    // cannot be set up. A running mesh keeps its first identity until it is stopped.
    bool start(const std::string& baseDirectory, const std::string& deviceId);
    // Stops the service (within one 250 ms wait, plus a file being served) and empties the index
    // and both tables. Harmless when the mesh never ran.
    void stop();
    bool running() const { return running_.load(); }
    bool stopRequested() const { return stopRequested_.load(); }
    std::string deviceId() const;

    // The indexed path of `hash` while it is a regular file; a vanished file's entry is dropped.
    std::optional<std::filesystem::path> findLocalContent(const std::string& hash);
    // While running: indexes a regular file under its hash (lower-cased; 40 or 64 hex digits)
    // by its canonical path. Any other hash that named the same path is dropped.
    void registerFile(const std::string& hash, const std::string& path);
    // Releases this player's claim on a hash and its own intent for it.
    void forgetFile(const std::string& hash);
    // Stops offering `path` under `hash` (its bytes no longer match), unless the index has
    // meanwhile moved on to another path.
    void dropIndexedFile(const std::string& hash, const std::filesystem::path& path);

    // ---- Discovery ----

    // HMAC-SHA256 of `text` keyed with the group id, 64 lower-case hex digits; empty on failure.
    std::string signature(const std::string& text) const;
    // True only when `received` is exactly signature(text); the comparison takes the same time
    // wherever the first difference lies.
    bool verifySignature(const std::string& received, const std::string& text) const;
    // Reads one datagram from the service socket and answers it when it asks for content we
    // hold or fetch.
    void handleDatagram(int udpSocket);
    // The answer to one received datagram (HAVE or FETCHING), or none. Records intents.
    std::optional<std::string> answerDatagram(std::string_view datagram);
    // Records that `deviceId` intends to fetch or is fetching `hash`, now. News older than the
    // intent age is dropped on the way.
    void notePeer(const std::string& hash, const std::string& deviceId);
    // One signed search of the LAN and 900 ms of listening: a holder at once, else the last
    // peer that said it is fetching, else none.
    std::optional<MeshPeer> findOnPeers(const std::string& hash);
    // Records and broadcasts this player's intent to fetch `hash`.
    void announceIntent(const std::string& hash);
    // Announces twice over 900 ms, then decides: true when this player (smallest device id among
    // fresh intents) downloads `hash` from the origin, and claims it; false when a peer will.
    bool choosePeer(const std::string& hash);

    // ---- Transfer ----

    // Answers one request on a connected socket (never closes it). The whole head must arrive
    // within 2 s of the accept.
    void serveRequest(int socket);
    // Sends all of `data` (no SIGPIPE); false on a failed or stalled send, or once the mesh stops.
    bool sendAll(int socket, const char* data, std::size_t length) const;
    // Copies `hash` from a peer into `destination`: 1 copied (digest still to check), 0 get it
    // from the origin, 2 the mesh stops (or `options.shouldAbort` said so).
    int fetch(const std::string& hash, const std::string& destination, const MeshFetchOptions& options = {});

    // ---- For tests ----

    // Device ids with news of an intent for `hash`, smallest first.
    std::vector<std::string> intentDevices(const std::string& hash) const;
    bool fetchingHere(const std::string& hash) const;
    std::size_t indexSize() const;
    // True when some hash has an intent table (even an empty one).
    std::size_t intentHashCount() const;

private:
    void serviceThread(std::promise<bool>& started);
    void runService(std::promise<bool>& started);
    void acceptLoop(int listenSocket);
    void log(const std::string& line) const;
    std::string key() const;
    // Drops news older than the intent age; peerMutex_ held.
    void pruneIntentsLocked(std::int64_t now);

    ContentMeshSettings settings_;
    Clock& clock_;

    std::atomic<bool> running_{false};
    std::atomic<bool> stopRequested_{false};

    std::mutex lifecycleMutex_;
    std::thread serviceThread_;

    mutable std::mutex identityMutex_;
    std::string deviceId_;
    std::string key_;

    mutable std::mutex indexMutex_;
    std::unordered_map<std::string, std::filesystem::path> index_;

    mutable std::mutex peerMutex_;
    std::unordered_map<std::string, std::map<std::string, std::int64_t>> intents_;  // steady ms of the last news
    std::set<std::string> fetchingHere_;
};

// The process's one mesh, on the real clocks.
ContentMesh& contentMesh();

// The process mesh's interface for the player (each one forwards to contentMesh()).
bool startContentMesh(const std::string& baseDirectory, const std::string& deviceId);
void stopContentMesh();
std::string contentMeshDeviceId();
std::optional<std::filesystem::path> findLocalContent(const std::string& hash);
void registerContentMeshFile(const std::string& hash, const std::string& path);
void forgetContentMeshFile(const std::string& hash);
std::string contentMeshSignature(const std::string& text);
bool verifyContentMeshSignature(const std::string& received, const std::string& text);
void handleMeshDatagram(int udpSocket);
void noteContentPeer(const std::string& hash, const std::string& deviceId);
std::optional<MeshPeer> findContentOnPeers(const std::string& hash);
void announceIntent(const std::string& hash);
bool choosePeer(const std::string& hash);
void serveContentRequest(int socket);
int fetchFromContentMesh(const std::string& hash, const std::string& destination,
                         const MeshFetchOptions& options = {});
bool sendAll(int socket, const char* data, std::size_t length);

// libcurl write callback of a copy from a peer: size × count bytes into `stream`, or 0 (ending
// the transfer) when the stream is missing, the size overflows 32 bits or the write failed.
std::size_t writeToStream(char* data, std::size_t size, std::size_t count, std::ostream* stream);

// `prefix` followed by `value`: signing texts ("get:" + hash) and message heads.
std::string concatPrefix(const char* prefix, std::string value);

// libcurl's transfer-progress callback of a copy from a peer: 1 (abort) once the mesh no longer
// runs. `clientData` is null for the process mesh, or a MeshTransferWatch.
struct MeshTransferWatch {
    const ContentMesh* mesh = nullptr;
    const std::function<bool()>* shouldAbort = nullptr;  // may be null
};
int contentMeshTransferProgress(void* clientData, curl_off_t downloadTotal, curl_off_t downloadNow,
                                curl_off_t uploadTotal, curl_off_t uploadNow);

}  // namespace lumetta
