#pragma once
// One media file from its URL into its partial file, and the digest of a file.
//
// `downloadFile` never touches the final file: checking the digest and moving the partial file
// into place belong to the download worker. Nothing here keeps state between calls.

#include <cstddef>
#include <functional>
#include <ostream>
#include <string>

namespace lumetta {

// Time limits of one media transfer and a way to end it early. Production values by default.
struct MediaRequestOptions {
    long connectTimeoutSeconds = 30;
    long transferTimeoutSeconds = 7'200;  // the whole transfer, for large videos on slow links
    long lowSpeedLimit = 1'024;           // bytes per second ...
    long lowSpeedTimeSeconds = 120;       // ... for this long ends a stalled transfer
    // Asked at least once a second during the transfer; true ends it as a failure (the player
    // is stopping). May be empty.
    std::function<bool()> shouldAbort;
    std::ostream* errors = nullptr;  // the failure lines; std::cerr when null
};

// `targetPath` + ".part": beside the target, so that the final rename stays on one file system.
std::string partialDownloadPath(const std::string& targetPath);

// Fetches `url` (HTTP or HTTPS, certificates checked, redirects followed) into
// partialDownloadPath(targetPath), removing an old one first. True when a 2xx response with at
// least one byte is stored complete. Otherwise one line on the error stream ("CURL error: ...",
// "HTTP error: ...", "Downloaded file is empty: ...", "Failed to write data to file.", or
// "Failed to open file for writing: ...") and false, with no partial file left behind (except
// an empty one when libcurl cannot start at all).
bool downloadFile(const std::string& url, const std::string& targetPath, const MediaRequestOptions& options = {});

// libcurl write callback into an output stream: size × count bytes written, or 0 (ending the
// transfer) with "Failed to write data to file." on standard error when the stream is missing
// or the write failed.
std::size_t curlWriteToStream(char* data, std::size_t size, std::size_t count, std::ostream* stream);

// The digest of the file at `path` as lower-case hex: SHA-256 when `expectedDigest` has 64
// characters, SHA-1 for any other length (only the length is looked at). Streams the file in
// 64 KiB pieces. Throws std::runtime_error: "Could not open file: " + path (also for anything
// but a regular file), "Could not read file: " + path, or the failed OpenSSL call.
std::string fileDigest(const std::string& path, const std::string& expectedDigest);
// The SHA-1 digest of the file.
std::string fileSha1(const std::string& path);

}  // namespace lumetta
