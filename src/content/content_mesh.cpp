// Lifecycle, service threads, identity and index of the content mesh.
#include "content/content_mesh.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/select.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstring>
#include <exception>
#include <iostream>
#include <system_error>

#include "core/config_store.h"
#include "core/log.h"
#include "core/unique_fd.h"

namespace lumetta {
namespace {

constexpr int serviceWaitMs = 250;
constexpr int listenBacklog = 4;

bool hasWhiteSpace(const std::string& text) {
    return text.find_first_of(" \t\n\r") != std::string::npos;
}

// Waits up to 250 ms for `fd` to become readable.
bool readableSoon(int fd) {
    fd_set set;
    FD_ZERO(&set);
    FD_SET(fd, &set);
    timeval wait{0, serviceWaitMs * 1000};
    return ::select(fd + 1, &set, nullptr, nullptr, &wait) > 0 && FD_ISSET(fd, &set);
}

sockaddr_in anyAddress(std::uint16_t port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_ANY);
    address.sin_port = htons(port);
    return address;
}

}  // namespace

std::optional<std::string> normalisedContentHash(std::string_view hash) {
    if (hash.size() != 40 && hash.size() != 64) return std::nullopt;
    std::string lower(hash);
    for (char& c : lower) {
        if (c >= 'A' && c <= 'F') c = static_cast<char>(c - 'A' + 'a');
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return std::nullopt;
    }
    return lower;
}

ContentMesh::ContentMesh(ContentMeshSettings settings)
    : settings_(settings), clock_(settings.clock ? *settings.clock : systemClock()) {}

ContentMesh::~ContentMesh() { stop(); }

void ContentMesh::log(const std::string& line) const {
    logText(settings_.errors ? *settings_.errors : std::cerr, line);
}

bool ContentMesh::start(const std::string& baseDirectory, const std::string& deviceId) {
    std::lock_guard<std::mutex> lifecycle(lifecycleMutex_);
    if (running_.load()) return true;
    if (serviceThread_.joinable()) serviceThread_.join();  // a failed or stopped earlier run

    std::string groupId = configString(baseDirectory, "groupId");
    if (groupId.empty() || groupId.size() > maxMeshGroupIdLength) return false;
    if (deviceId.empty() || hasWhiteSpace(deviceId)) return false;  // ids travel as tokens
    {
        std::lock_guard<std::mutex> identity(identityMutex_);
        key_ = std::move(groupId);
        deviceId_ = deviceId;
    }
    running_.store(true);
    stopRequested_.store(false);

    try {
        std::promise<bool> started;
        std::future<bool> result = started.get_future();
        serviceThread_ = std::thread([this, promise = std::move(started)]() mutable { serviceThread(promise); });
        if (result.get()) return true;
        serviceThread_.join();
        return false;
    } catch (const std::exception& error) {
        running_.store(false);
        log(std::string("[CONTENT MESH] Could not start service thread: ") + error.what());
        return false;
    }
}

void ContentMesh::stop() {
    std::lock_guard<std::mutex> lifecycle(lifecycleMutex_);
    stopRequested_.store(true);
    running_.store(false);
    if (serviceThread_.joinable()) serviceThread_.join();
    std::lock_guard<std::mutex> index(indexMutex_);
    index_.clear();
    std::lock_guard<std::mutex> peers(peerMutex_);
    intents_.clear();
    fetchingHere_.clear();
}

void ContentMesh::serviceThread(std::promise<bool>& started) {
    try {
        runService(started);
    } catch (...) {
        running_.store(false);
        try {
            started.set_value(false);
        } catch (const std::future_error&) {
            // The start was already reported.
        }
        try {
            throw;
        } catch (const std::exception& error) {
            log(std::string("[CONTENT MESH] Service exception: ") + error.what());
        } catch (...) {
            log("[CONTENT MESH] Unknown service exception");
        }
    }
}

void ContentMesh::runService(std::promise<bool>& started) {
    const auto fail = [&](const char* what, int error) {
        running_.store(false);
        log(std::string("[CONTENT MESH] ") + what + std::strerror(error));
        started.set_value(false);
    };

    UniqueFd datagrams(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    if (!datagrams) return fail("Could not create service sockets: ", errno);
    UniqueFd stream(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!stream) return fail("Could not create service sockets: ", errno);

    const int one = 1;
    if (::setsockopt(datagrams.get(), SOL_SOCKET, SO_REUSEADDR, &one, sizeof one) != 0 ||
        ::setsockopt(stream.get(), SOL_SOCKET, SO_REUSEADDR, &one, sizeof one) != 0) {
        return fail("Could not configure service sockets: ", errno);
    }
    const sockaddr_in discovery = anyAddress(meshDiscoveryPort);
    const sockaddr_in content = anyAddress(meshContentPort);
    if (::bind(datagrams.get(), reinterpret_cast<const sockaddr*>(&discovery), sizeof discovery) != 0 ||
        ::bind(stream.get(), reinterpret_cast<const sockaddr*>(&content), sizeof content) != 0 ||
        ::listen(stream.get(), listenBacklog) != 0) {
        return fail("Could not bind service sockets: ", errno);
    }
    started.set_value(true);

    std::thread acceptThread([this, fd = stream.get()] { acceptLoop(fd); });
    try {
        while (running_.load()) {
            if (readableSoon(datagrams.get())) handleDatagram(datagrams.get());
        }
    } catch (...) {
        running_.store(false);
        acceptThread.join();
        throw;
    }
    acceptThread.join();
}

void ContentMesh::acceptLoop(int listenSocket) {
    try {
        while (running_.load()) {
            if (!readableSoon(listenSocket)) continue;
            UniqueFd connection(::accept4(listenSocket, nullptr, nullptr, SOCK_CLOEXEC));
            if (connection) serveRequest(connection.get());
        }
    } catch (const std::exception& error) {
        // Serving ended by surprise: the mesh goes off as a whole rather than half.
        running_.store(false);
        log(std::string("[CONTENT MESH] Service exception: ") + error.what());
    } catch (...) {
        running_.store(false);
        log("[CONTENT MESH] Unknown service exception");
    }
}

std::string ContentMesh::deviceId() const {
    std::lock_guard<std::mutex> identity(identityMutex_);
    return deviceId_;
}

std::string ContentMesh::key() const {
    std::lock_guard<std::mutex> identity(identityMutex_);
    return key_;
}

std::optional<std::filesystem::path> ContentMesh::findLocalContent(const std::string& hash) {
    std::lock_guard<std::mutex> index(indexMutex_);
    const auto found = index_.find(hash);
    if (found == index_.end()) return std::nullopt;
    std::error_code error;
    if (std::filesystem::is_regular_file(found->second, error)) return found->second;
    index_.erase(found);  // deleted or replaced since: dropped at the first lookup
    return std::nullopt;
}

void ContentMesh::registerFile(const std::string& hash, const std::string& path) {
    if (!running_.load()) return;
    const std::optional<std::string> key = normalisedContentHash(hash);
    if (!key) return;
    std::error_code error;
    if (!std::filesystem::is_regular_file(path, error)) return;
    std::filesystem::path canonical = std::filesystem::weakly_canonical(path, error);
    if (error || canonical.empty()) return;
    std::lock_guard<std::mutex> index(indexMutex_);
    // A path holds one content: a digest that named it before now names other bytes.
    std::erase_if(index_, [&](const auto& entry) { return entry.first != *key && entry.second == canonical; });
    index_[*key] = std::move(canonical);
}

void ContentMesh::forgetFile(const std::string& hash) {
    const std::optional<std::string> key = normalisedContentHash(hash);
    if (!key) return;
    std::lock_guard<std::mutex> peers(peerMutex_);
    fetchingHere_.erase(*key);
    const auto found = intents_.find(*key);
    if (found == intents_.end()) return;
    found->second.erase(deviceId());
    if (found->second.empty()) intents_.erase(found);
}

std::vector<std::string> ContentMesh::intentDevices(const std::string& hash) const {
    std::lock_guard<std::mutex> peers(peerMutex_);
    std::vector<std::string> devices;
    const auto found = intents_.find(hash);
    if (found != intents_.end()) {
        for (const auto& entry : found->second) devices.push_back(entry.first);
    }
    return devices;
}

bool ContentMesh::fetchingHere(const std::string& hash) const {
    std::lock_guard<std::mutex> peers(peerMutex_);
    return fetchingHere_.count(hash) != 0;
}

std::size_t ContentMesh::indexSize() const {
    std::lock_guard<std::mutex> index(indexMutex_);
    return index_.size();
}

std::size_t ContentMesh::intentHashCount() const {
    std::lock_guard<std::mutex> peers(peerMutex_);
    return intents_.size();
}

// ---- The process's mesh ----

ContentMesh& contentMesh() {
    static ContentMesh mesh;
    return mesh;
}

bool startContentMesh(const std::string& baseDirectory, const std::string& deviceId) {
    return contentMesh().start(baseDirectory, deviceId);
}
void stopContentMesh() { contentMesh().stop(); }
std::string contentMeshDeviceId() { return contentMesh().deviceId(); }
std::optional<std::filesystem::path> findLocalContent(const std::string& hash) {
    return contentMesh().findLocalContent(hash);
}
void registerContentMeshFile(const std::string& hash, const std::string& path) {
    contentMesh().registerFile(hash, path);
}
void forgetContentMeshFile(const std::string& hash) { contentMesh().forgetFile(hash); }
std::string contentMeshSignature(const std::string& text) { return contentMesh().signature(text); }
bool verifyContentMeshSignature(const std::string& received, const std::string& text) {
    return contentMesh().verifySignature(received, text);
}
void handleMeshDatagram(int udpSocket) { contentMesh().handleDatagram(udpSocket); }
void noteContentPeer(const std::string& hash, const std::string& deviceId) { contentMesh().notePeer(hash, deviceId); }
std::optional<MeshPeer> findContentOnPeers(const std::string& hash) { return contentMesh().findOnPeers(hash); }
void announceIntent(const std::string& hash) { contentMesh().announceIntent(hash); }
bool choosePeer(const std::string& hash) { return contentMesh().choosePeer(hash); }
void serveContentRequest(int socket) { contentMesh().serveRequest(socket); }
int fetchFromContentMesh(const std::string& hash, const std::string& destination, const MeshFetchOptions& options) {
    return contentMesh().fetch(hash, destination, options);
}

std::string concatPrefix(const char* prefix, std::string value) {
    return std::string(prefix) + value;
}

int contentMeshTransferProgress(void* clientData, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
    if (clientData == nullptr) return contentMesh().running() ? 0 : 1;
    const auto* watch = static_cast<const MeshTransferWatch*>(clientData);
    if (!watch->mesh->running()) return 1;
    if (watch->shouldAbort && *watch->shouldAbort && (*watch->shouldAbort)()) return 1;
    return 0;
}

}  // namespace lumetta
