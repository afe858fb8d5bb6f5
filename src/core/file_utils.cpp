#include "core/file_utils.h"

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <iomanip>
#include <iostream>
#include <iterator>
#include <sstream>
#include <system_error>

#include "core/log.h"
#include "core/palette.h"

namespace lumetta {
namespace {

std::atomic<std::uint32_t> temporaryFileCounter{0};


int base64Value(char c) {
    if (c >= 'A' && c <= 'Z') return c - 'A';
    if (c >= 'a' && c <= 'z') return c - 'a' + 26;
    if (c >= '0' && c <= '9') return c - '0' + 52;
    if (c == '+') return 62;
    if (c == '/') return 63;
    return -1;
}

}  // namespace

bool SyncSteps::syncFile(int fd) { return ::fsync(fd) == 0; }

bool SyncSteps::syncDirectory(const std::filesystem::path& directory) {
    const int fd = ::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return false;
    // Without this the rename itself may be lost at a power cut.
    const bool synced = ::fsync(fd) == 0;
    const bool closed = ::close(fd) == 0;
    return synced && closed;
}

SyncSteps& diskSyncSteps() {
    static SyncSteps steps;
    return steps;
}

std::string temporaryFileName(const std::string& path, long processId, std::uint32_t counter) {
    return path + ".tmp." + std::to_string(processId) + "." + std::to_string(counter);
}

bool writeFileAtomically(const std::string& path, std::string_view bytes, SyncSteps& sync) {
    const std::uint32_t counter = temporaryFileCounter.fetch_add(1, std::memory_order_relaxed);
    const std::string temporary = temporaryFileName(path, static_cast<long>(::getpid()), counter);

    int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (fd < 0) {
        const int error = errno;
        logLine(std::cerr, ansi::BOLD_RED, "[FILE]",
                " Failed to open temporary file for " + path + ": " + std::strerror(error));
        return false;
    }

    int error = 0;
    std::size_t offset = 0;
    while (offset < bytes.size()) {
        const ssize_t written = ::write(fd, bytes.data() + offset, bytes.size() - offset);
        if (written > 0) {
            offset += static_cast<std::size_t>(written);
        } else if (written == 0) {
            error = EIO;
            break;
        } else if (errno != EINTR) {
            error = errno;
            break;
        }
    }
    if (error == 0) {
        errno = 0;
        if (!sync.syncFile(fd)) error = errno != 0 ? errno : EIO;
    }
    if (::close(fd) != 0 && error == 0) error = errno;

    if (error == 0) {
        std::error_code renameError;
        std::filesystem::rename(temporary, path, renameError);
        if (renameError) error = renameError.value();
    }
    if (error != 0) {
        std::error_code ignored;
        std::filesystem::remove(temporary, ignored);
        logLine(std::cerr, ansi::BOLD_RED, "[FILE]", " Failed to write " + path + ": " + std::strerror(error));
        return false;
    }
    std::filesystem::path parent = std::filesystem::path(path).parent_path();
    sync.syncDirectory(parent.empty() ? std::filesystem::path(".") : parent);
    return true;
}

std::string readFile(const std::string& path) {
    std::ifstream in(path);
    if (!in.is_open()) return {};
    try {
        return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    } catch (const std::ios_base::failure&) {
        // A directory opens but cannot be read, and a failing card reports read errors; the
        // stream library throws for both, and callers take such a file as one they cannot read.
        return {};
    }
}

std::vector<std::uint8_t> decodeBase64(std::string_view text) {
    std::string compact;
    compact.reserve(text.size());
    for (char c : text) {
        if (!std::isspace(static_cast<unsigned char>(c))) compact.push_back(c);
    }
    std::size_t n = compact.size();
    if (n <= 1) return {};

    std::size_t dataLength = n;
    if (compact.compare(n - 2, 2, "==") == 0) {
        if (n % 4 != 0) return {};
        dataLength = n - 2;
    } else if (compact[n - 1] == '=') {
        if (n % 4 != 0) return {};
        dataLength = n - 1;
    } else if (n % 4 == 1) {
        return {};
    }

    std::vector<std::uint8_t> out;
    out.reserve(dataLength * 6 / 8);
    std::uint32_t accumulator = 0;
    int bits = 0;
    for (std::size_t i = 0; i < dataLength; ++i) {
        const int value = base64Value(compact[i]);
        if (value < 0) return {};
        accumulator = (accumulator << 6) | static_cast<std::uint32_t>(value);
        bits += 6;
        if (bits >= 8) {
            bits -= 8;
            out.push_back(static_cast<std::uint8_t>((accumulator >> bits) & 0xFFu));
        }
    }
    if ((accumulator & ((1u << bits) - 1u)) != 0) return {};
    return out;
}

QuotedPath quoted(const std::filesystem::path& path) { return QuotedPath{path.string()}; }

std::string QuotedPath::str() const {
    std::ostringstream out;
    out << std::quoted(text);
    return out.str();
}

std::ostream& operator<<(std::ostream& out, const QuotedPath& quotedPath) {
    return out << std::quoted(quotedPath.text);
}

}  // namespace lumetta
