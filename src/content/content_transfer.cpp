// Copying content between players: the server answers one HTTP/1.1 request per connection on
// TCP 45873 from the index, and the client searches the group, waits while a peer fetches the
// file, and copies it from a holder, resuming a partial file.
//
// A request is "GET /content/<hash> HTTP/1.x" with "X-Quorvela-Auth: <signature of get:hash>"
// and, when resuming, "Range: bytes=<offset>-". Replies are byte-exact and nothing else is
// ever sent: 200, 206, 404 for a hash not in the index, 416 for a range that cannot be served;
// every other request ends in silence.
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <openssl/evp.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <fstream>
#include <limits>
#include <memory>
#include <thread>
#include <vector>

#include "content/content_mesh.h"
#include "content/content_request.h"
#include "content/curl_transfer.h"
#include "core/unique_fd.h"

namespace lumetta {
namespace {

using Steady = std::chrono::steady_clock;

constexpr auto headTimeLimit = std::chrono::seconds(2);
constexpr std::size_t headLimit = 8'192;
constexpr std::size_t headPiece = 1'024;
constexpr std::size_t bodyChunk = 65'536;
// About 8 MiB/s per connection, so that serving peers never crowds out playback.
constexpr auto chunkPause = std::chrono::nanoseconds(7'812'000);

const std::string notFound = "HTTP/1.1 404 Not Found\r\nContent-Length: 0\r\nConnection: close\r\n\r\n";
const std::string badRange = "HTTP/1.1 416 Range Not Satisfiable\r\nContent-Length: 0\r\nConnection: close\r\n\r\n";

// The text after `marker` up to the next CR LF, or none when either is missing.
std::optional<std::string_view> headerValue(std::string_view head, std::string_view marker) {
    const std::size_t at = head.find(marker);
    if (at == std::string_view::npos) return std::nullopt;
    const std::size_t start = at + marker.size();
    const std::size_t end = head.find("\r\n", start);
    if (end == std::string_view::npos) return std::nullopt;
    return head.substr(start, end - start);
}

// "<digits>-" as a 64-bit offset; none for anything else (suffix ranges, end offsets, lists,
// stray characters, overflow).
std::optional<std::uint64_t> openRangeStart(std::string_view value) {
    if (value.size() < 2 || value.back() != '-') return std::nullopt;
    value.remove_suffix(1);
    std::uint64_t offset = 0;
    for (char c : value) {
        if (c < '0' || c > '9') return std::nullopt;
        const unsigned digit = static_cast<unsigned>(c - '0');
        if (offset > (std::numeric_limits<std::uint64_t>::max() - digit) / 10) return std::nullopt;
        offset = offset * 10 + digit;
    }
    return offset;
}

// Reads the request head: all of it within 2 s of the accept, at most 8,192 bytes, received in
// pieces of at most 1,024. None when it does not come whole in time.
std::optional<std::string> receiveHead(int socket) {
    const auto deadline = Steady::now() + headTimeLimit;
    std::string head;
    while (head.find("\r\n\r\n") == std::string::npos) {
        if (head.size() >= headLimit) return std::nullopt;
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Steady::now());
        if (left.count() <= 0) return std::nullopt;  // a trickled head holds nobody up for long
        pollfd wait{socket, POLLIN, 0};
        const int ready = ::poll(&wait, 1, static_cast<int>(left.count()));
        if (ready < 0 && errno == EINTR) continue;
        if (ready <= 0) return std::nullopt;
        char piece[headPiece];
        const ssize_t n = ::recv(socket, piece, std::min(headPiece, headLimit - head.size()), 0);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return std::nullopt;
        head.append(piece, static_cast<std::size_t>(n));
    }
    return head;
}

std::size_t writeToOutput(char* data, std::size_t size, std::size_t count, void* stream) {
    return writeToStream(data, size, count, static_cast<std::ostream*>(stream));
}

struct DigestContextFree {
    void operator()(EVP_MD_CTX* context) const { EVP_MD_CTX_free(context); }
};

struct SlistFree {
    void operator()(curl_slist* list) const { curl_slist_free_all(list); }
};

}  // namespace

std::optional<ContentRequest> parseContentRequest(std::string_view head) {
    const std::string_view line = head.substr(0, head.find("\r\n"));
    constexpr std::string_view start = "GET /content/";
    if (line.size() < 13 || line.substr(0, start.size()) != start) return std::nullopt;
    const std::size_t version = line.find(" HTTP/1.");
    if (version == std::string_view::npos) return std::nullopt;
    std::optional<std::string> hash = normalisedContentHash(line.substr(start.size(), version - start.size()));
    if (!hash) return std::nullopt;
    const std::optional<std::string_view> auth = headerValue(head, "\r\nX-Quorvela-Auth: ");
    if (!auth) return std::nullopt;

    ContentRequest request;
    request.hash = std::move(*hash);
    request.signature = std::string(*auth);
    if (const std::optional<std::string_view> range = headerValue(head, "\r\nRange: bytes=")) {
        const std::optional<std::uint64_t> from = openRangeStart(*range);
        request.range = from ? ContentRequest::Range::From : ContentRequest::Range::Bad;
        request.offset = from.value_or(0);
    } else if (head.find("\r\nRange: bytes=") != std::string_view::npos) {
        request.range = ContentRequest::Range::Bad;  // cut off before its line end
    }
    return request;
}

bool ContentMesh::sendAll(int socket, const char* data, std::size_t length) const {
    std::size_t sent = 0;
    while (sent < length) {
        const ssize_t n = ::send(socket, data + sent, length - sent, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        sent += static_cast<std::size_t>(n);
        if (!running_.load()) return false;
    }
    return true;
}

void ContentMesh::serveRequest(int socket) {
    const timeval limit{2, 0};
    if (::setsockopt(socket, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit) != 0 ||
        ::setsockopt(socket, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit) != 0) {
        return;
    }
    const std::optional<std::string> received = receiveHead(socket);
    if (!received) return;
    const std::optional<ContentRequest> request = parseContentRequest(*received);
    if (!request || !verifySignature(request->signature, concatPrefix("get:", request->hash))) return;

    const std::optional<std::filesystem::path> path = findLocalContent(request->hash);
    if (!path) {
        sendAll(socket, notFound.data(), notFound.size());
        return;
    }
    const UniqueFd file(::open(path->c_str(), O_RDONLY | O_CLOEXEC));
    struct stat info {};
    if (!file || ::fstat(file.get(), &info) != 0 || info.st_size <= 0) return;
    const std::uint64_t size = static_cast<std::uint64_t>(info.st_size);

    if (request->range == ContentRequest::Range::Bad ||
        (request->range == ContentRequest::Range::From && request->offset >= size)) {
        sendAll(socket, badRange.data(), badRange.size());
        return;
    }
    const std::uint64_t offset = request->offset;

    std::string reply;
    if (offset == 0) {
        reply = "HTTP/1.1 200 OK\r\nContent-Type: application/octet-stream\r\nContent-Length: " + std::to_string(size) +
                "\r\nAccept-Ranges: bytes\r\nConnection: close\r\n\r\n";
    } else {
        reply = "HTTP/1.1 206 Partial Content\r\nContent-Type: application/octet-stream\r\nContent-Length: " +
                std::to_string(size - offset) + "\r\nAccept-Ranges: bytes\r\nContent-Range: bytes " +
                std::to_string(offset) + "-" + std::to_string(size - 1) + "/" + std::to_string(size) +
                "\r\nConnection: close\r\n\r\n";
    }
    if (!sendAll(socket, reply.data(), reply.size())) return;

    if (::lseek(file.get(), static_cast<off_t>(offset), SEEK_SET) < 0) return;
    // A whole file served is checked on the way: bytes changed on disk since they were indexed
    // would otherwise be offered to every peer that asks, and fail its check every time.
    std::unique_ptr<EVP_MD_CTX, DigestContextFree> digest;
    if (offset == 0) {
        digest.reset(EVP_MD_CTX_new());
        if (digest && EVP_DigestInit_ex(digest.get(), request->hash.size() == 64 ? EVP_sha256() : EVP_sha1(), nullptr) != 1)
            digest.reset();
    }
    std::uint64_t sent = offset;
    std::vector<char> chunk(bodyChunk);
    while (running_.load()) {
        const ssize_t n = ::read(file.get(), chunk.data(), chunk.size());
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        if (digest && EVP_DigestUpdate(digest.get(), chunk.data(), static_cast<std::size_t>(n)) != 1) digest.reset();
        if (!sendAll(socket, chunk.data(), static_cast<std::size_t>(n))) return;
        sent += static_cast<std::uint64_t>(n);
        if (static_cast<std::size_t>(n) < chunk.size()) break;  // that was the end of the file
        std::this_thread::sleep_for(chunkPause);
    }
    if (!digest || sent != size) return;
    unsigned char value[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (EVP_DigestFinal_ex(digest.get(), value, &length) != 1) return;
    static constexpr char digits[] = "0123456789abcdef";
    std::string text;
    for (unsigned int i = 0; i < length; ++i) {
        text.push_back(digits[value[i] >> 4]);
        text.push_back(digits[value[i] & 0x0f]);
    }
    if (text != request->hash) dropIndexedFile(request->hash, *path);
}

void ContentMesh::dropIndexedFile(const std::string& hash, const std::filesystem::path& path) {
    {
        std::lock_guard lock(indexMutex_);
        const auto found = index_.find(hash);
        if (found == index_.end() || found->second != path) return;
        index_.erase(found);
    }
    log("[CONTENT MESH] No longer offering " + hash + ": the file no longer matches it");
}

int ContentMesh::fetch(const std::string& requested, const std::string& destination, const MeshFetchOptions& options) {
    const auto stopping = [&] { return !running_.load() || (options.shouldAbort && options.shouldAbort()); };
    if (!running_.load()) return stopRequested_.load() ? 2 : 0;
    const std::optional<std::string> found = normalisedContentHash(requested);
    if (!found) return 0;
    const std::string& hash = *found;
    const auto claim = [&] {
        std::lock_guard<std::mutex> peers(peerMutex_);
        fetchingHere_.insert(hash);
    };
    const auto holder = [](const std::optional<MeshPeer>& p) { return p && !p->fetching; };

    // Who has it, who is fetching it; with nobody, perhaps this player downloads it.
    std::optional<MeshPeer> peer = findOnPeers(hash);
    const auto begin = Steady::now();
    auto lastNews = begin;
    if (!peer && choosePeer(hash)) return 0;

    const auto deadline = begin + std::chrono::milliseconds(options.waitLimitMs);
    while (!stopping() && !holder(peer) && Steady::now() < deadline) {
        if (peer) lastNews = Steady::now();  // a peer is still fetching it
        // One poll interval, in short steps so that a stop ends the wait at once.
        const auto pollEnd = Steady::now() + std::chrono::milliseconds(options.peerPollMs);
        while (!stopping() && Steady::now() < pollEnd) {
            std::this_thread::sleep_for(std::min<Steady::duration>(std::chrono::milliseconds(50), pollEnd - Steady::now()));
        }
        if (stopping()) break;
        peer = findOnPeers(hash);
        if (holder(peer)) break;
        if (Steady::now() - lastNews >= std::chrono::milliseconds(options.silentPeerLimitMs)) {
            if (choosePeer(hash)) return 0;
            lastNews = Steady::now();
        }
    }
    if (stopping()) return 2;
    if (!holder(peer)) {  // waited as long as anyone may: the origin it is
        claim();
        return 0;
    }

    // Resume a partial file, or start a new one.
    std::error_code error;
    const std::uintmax_t existing = std::filesystem::file_size(destination, error);
    const std::uint64_t resumeFrom = (!error && existing > 0) ? existing : 0;
    std::ofstream file(destination, std::ios::binary | (resumeFrom > 0 ? std::ios::app : std::ios::trunc));
    if (!file.is_open()) return 0;
    CurlEasyHandle handle = makeCurlEasyHandle();
    if (!handle) return 0;

    const std::string url =
        "http://" + peer->address + ":" + std::to_string(peer->port) + "/content/" + hash;
    const std::string auth = "X-Quorvela-Auth: " + signature(concatPrefix("get:", hash));
    const std::unique_ptr<curl_slist, SlistFree> headers(curl_slist_append(nullptr, auth.c_str()));
    const MeshTransferWatch watch{this, options.shouldAbort ? &options.shouldAbort : nullptr};
    CURL* curl = handle.get();
    CURLcode setup = headers ? CURLE_OK : CURLE_OUT_OF_MEMORY;
    const auto set = [&](CURLoption option, auto value) {
        if (setup == CURLE_OK) setup = curl_easy_setopt(curl, option, value);
    };
    set(CURLOPT_URL, url.c_str());
    set(CURLOPT_HTTPHEADER, headers.get());
    set(CURLOPT_WRITEFUNCTION, &writeToOutput);
    set(CURLOPT_WRITEDATA, static_cast<void*>(static_cast<std::ostream*>(&file)));
    set(CURLOPT_CONNECTTIMEOUT, options.connectTimeoutSeconds);
    set(CURLOPT_TIMEOUT, options.transferTimeoutSeconds);
    set(CURLOPT_LOW_SPEED_LIMIT, options.lowSpeedLimit);
    set(CURLOPT_LOW_SPEED_TIME, options.lowSpeedTimeSeconds);
    set(CURLOPT_FAILONERROR, 1L);
    set(CURLOPT_NOSIGNAL, 1L);
    set(CURLOPT_NOPROGRESS, 0L);
    set(CURLOPT_XFERINFOFUNCTION, &contentMeshTransferProgress);
    set(CURLOPT_XFERINFODATA, static_cast<const void*>(&watch));
    if (resumeFrom > 0) set(CURLOPT_RESUME_FROM_LARGE, static_cast<curl_off_t>(resumeFrom));

    const CURLcode result = setup == CURLE_OK ? curl_easy_perform(curl) : setup;
    long status = 0;
    const bool statusRead = curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &status) == CURLE_OK;
    handle.reset();
    file.flush();
    const bool written = file.good();
    file.close();

    const long expected = resumeFrom > 0 ? 206 : 200;
    if (result == CURLE_OK && statusRead && written && status == expected) return running_.load() ? 1 : 2;
    claim();  // what arrived stays for a later resume; the caller goes to the origin
    return stopping() ? 2 : 0;
}

bool sendAll(int socket, const char* data, std::size_t length) { return contentMesh().sendAll(socket, data, length); }

std::size_t writeToStream(char* data, std::size_t size, std::size_t count, std::ostream* stream) {
    if (stream == nullptr) return 0;
    const std::uint64_t bytes = static_cast<std::uint64_t>(size) * count;
    if ((count != 0 && bytes / count != size) || bytes > std::numeric_limits<std::uint32_t>::max()) return 0;
    stream->write(data, static_cast<std::streamsize>(bytes));
    if (stream->bad() || stream->fail()) return 0;
    return static_cast<std::size_t>(bytes);
}

}  // namespace lumetta
