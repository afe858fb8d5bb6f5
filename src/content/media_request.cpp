#include "content/media_request.h"

#include <fcntl.h>
#include <openssl/evp.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <limits>
#include <memory>
#include <stdexcept>
#include <system_error>
#include <vector>

#include "content/curl_transfer.h"
#include "core/log.h"
#include "core/palette.h"
#include "core/unique_fd.h"

namespace lumetta {
namespace {

constexpr std::size_t digestChunk = 65'536;
constexpr long maxRedirects = 30;
constexpr const char* writeFailure = "Failed to write data to file.";

struct StreamSink {
    std::ostream* stream = nullptr;
    std::ostream* errors = nullptr;
};

std::size_t writeToSink(char* data, std::size_t size, std::size_t count, const StreamSink& sink) {
    const bool fits = count == 0 || size <= std::numeric_limits<std::size_t>::max() / count;
    if (sink.stream != nullptr && fits) {
        const std::size_t bytes = size * count;
        if (bytes <= static_cast<std::size_t>(std::numeric_limits<std::streamsize>::max())) {
            sink.stream->write(data, static_cast<std::streamsize>(bytes));
            if (!sink.stream->fail()) return bytes;
        }
    }
    logText(*sink.errors, writeFailure);
    return 0;
}

std::size_t writeToSinkCallback(char* data, std::size_t size, std::size_t count, void* sink) {
    return writeToSink(data, size, count, *static_cast<const StreamSink*>(sink));
}

void removeQuietly(const std::string& path) {
    std::error_code ignored;
    std::filesystem::remove(path, ignored);
}

struct DigestContextFree {
    void operator()(EVP_MD_CTX* context) const { EVP_MD_CTX_free(context); }
};

}  // namespace

std::string partialDownloadPath(const std::string& targetPath) { return targetPath + ".part"; }

std::size_t curlWriteToStream(char* data, std::size_t size, std::size_t count, std::ostream* stream) {
    return writeToSink(data, size, count, StreamSink{stream, &std::cerr});
}

bool downloadFile(const std::string& url, const std::string& targetPath, const MediaRequestOptions& options) {
    std::ostream& errors = options.errors ? *options.errors : std::cerr;
    const std::string part = partialDownloadPath(targetPath);
    removeQuietly(part);  // nothing of an earlier attempt may end up in this one

    std::vector<char> buffer(digestChunk);  // outlives the stream that writes through it
    std::ofstream file;
    file.rdbuf()->pubsetbuf(buffer.data(), static_cast<std::streamsize>(buffer.size()));
    file.open(part, std::ios::binary | std::ios::trunc);
    if (!file.is_open()) {
        logText(errors, "Failed to open file for writing: " + std::string(ansi::BOLD_RED) + part + std::string(ansi::RESET));
        return false;
    }
    CurlEasyHandle handle = makeCurlEasyHandle();
    if (!handle) {
        logText(errors, "Failed to initialize CURL.");
        return false;
    }

    StreamSink sink{&file, &errors};
    CURL* curl = handle.get();
    CURLcode setup = applyTransferDefaults(curl);  // certificate checks, CA bundle, user agent, no signals
    const auto set = [&](CURLoption option, auto value) {
        if (setup == CURLE_OK) setup = curl_easy_setopt(curl, option, value);
    };
    set(CURLOPT_URL, url.c_str());
    set(CURLOPT_WRITEFUNCTION, &writeToSinkCallback);
    set(CURLOPT_WRITEDATA, static_cast<void*>(&sink));
    set(CURLOPT_FOLLOWLOCATION, 1L);
    set(CURLOPT_MAXREDIRS, maxRedirects);  // this libcurl follows a redirect loop without end
    set(CURLOPT_FAILONERROR, 1L);
    set(CURLOPT_CONNECTTIMEOUT, options.connectTimeoutSeconds);
    set(CURLOPT_TIMEOUT, options.transferTimeoutSeconds);
    set(CURLOPT_LOW_SPEED_LIMIT, options.lowSpeedLimit);
    set(CURLOPT_LOW_SPEED_TIME, options.lowSpeedTimeSeconds);
    if (options.shouldAbort && setup == CURLE_OK) setup = installAbortCheck(curl, &options.shouldAbort);

    const CURLcode result = setup == CURLE_OK ? curl_easy_perform(curl) : setup;
    long status = 0;
    curl_off_t received = 0;
    curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &status);
    curl_easy_getinfo(curl, CURLINFO_SIZE_DOWNLOAD_T, &received);
    handle.reset();

    // A full disk may only show when the last buffered bytes go out.
    file.flush();
    file.close();
    const bool written = !file.fail();

    if (result != CURLE_OK) {
        logText(errors, std::string("CURL error: ") + curl_easy_strerror(result));
    } else if (!written) {
        logText(errors, writeFailure);
    } else if (status < 200 || status > 299) {
        logText(errors, "HTTP error: " + std::to_string(status) + " for URL: " + url);
    } else if (received < 1) {
        logText(errors, "Downloaded file is empty: " + url);
    } else {
        return true;
    }
    removeQuietly(part);
    return false;
}

std::string fileDigest(const std::string& path, const std::string& expectedDigest) {
    const std::unique_ptr<EVP_MD_CTX, DigestContextFree> context(EVP_MD_CTX_new());
    if (!context) throw std::runtime_error("EVP_MD_CTX_new failed");
    const EVP_MD* algorithm = expectedDigest.size() == 64 ? EVP_sha256() : EVP_sha1();
    if (EVP_DigestInit_ex(context.get(), algorithm, nullptr) != 1) throw std::runtime_error("EVP_DigestInit_ex failed");

    // Only a regular file has a digest: a directory would pass for empty content, and opening a
    // FIFO would wait for a writer that may never come.
    const UniqueFd file(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
    struct stat info {};
    if (!file || ::fstat(file.get(), &info) != 0 || !S_ISREG(info.st_mode)) {
        throw std::runtime_error("Could not open file: " + path);
    }
    std::vector<unsigned char> buffer(digestChunk);
    for (;;) {
        const ssize_t count = ::read(file.get(), buffer.data(), buffer.size());
        if (count < 0 && errno == EINTR) continue;
        // A digest of part of the file would be a wrong answer, not a smaller one.
        if (count < 0) throw std::runtime_error("Could not read file: " + path);
        if (count == 0) break;
        if (EVP_DigestUpdate(context.get(), buffer.data(), static_cast<std::size_t>(count)) != 1) {
            throw std::runtime_error("EVP_DigestUpdate failed");
        }
    }
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (EVP_DigestFinal_ex(context.get(), digest, &length) != 1) throw std::runtime_error("EVP_DigestFinal_ex failed");

    static constexpr char digits[] = "0123456789abcdef";
    std::string text;
    text.reserve(length * 2);
    for (unsigned int i = 0; i < length; ++i) {
        text.push_back(digits[digest[i] >> 4]);
        text.push_back(digits[digest[i] & 0x0f]);
    }
    return text;
}

std::string fileSha1(const std::string& path) { return fileDigest(path, std::string(40, '0')); }

}  // namespace lumetta
