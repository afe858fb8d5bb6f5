#include "wifi/wpa_config.h"

#include <fcntl.h>
#include <openssl/evp.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <climits>
#include <mutex>
#include <system_error>

namespace lumetta {

namespace {

constexpr std::string_view blockStart = "network={";
constexpr int pskRounds = 4096;

bool isBlank(char c) { return c == ' ' || c == '\t' || c == '\r'; }

bool allBlank(std::string_view text) {
    for (char c : text) {
        if (!isBlank(c)) return false;
    }
    return true;
}

std::string_view trimmed(std::string_view text) {
    while (!text.empty() && isBlank(text.front())) text.remove_prefix(1);
    while (!text.empty() && isBlank(text.back())) text.remove_suffix(1);
    return text;
}

// One line of a text: [begin, end), end at its line feed or at the end of the text.
struct LineSpan {
    std::size_t begin;
    std::size_t end;
};

LineSpan lineAt(std::string_view text, std::size_t begin) {
    const std::size_t end = text.find('\n', begin);
    return {begin, end == std::string_view::npos ? text.size() : end};
}

std::string_view content(std::string_view text, LineSpan line) { return text.substr(line.begin, line.end - line.begin); }

constexpr char hexDigits[] = "0123456789abcdef";

std::string lowerHex(std::string_view bytes) {
    std::string hex;
    hex.reserve(bytes.size() * 2);
    for (char c : bytes) {
        const auto byte = static_cast<unsigned char>(c);
        hex += hexDigits[byte >> 4];
        hex += hexDigits[byte & 0x0F];
    }
    return hex;
}

int hexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// The values an "ssid=" line of the SSID's block holds: the quoted real bytes, or their hex.
struct SsidForms {
    std::string quoted;
    std::string hex;
};

SsidForms formsOf(const std::string& printed) {
    const std::string bytes = ssidBytes(printed);
    return {wpaQuote(bytes), lowerHex(bytes)};
}

// The value of an "ssid=" line (blanks around the line aside); no value for any other line.
std::optional<std::string_view> ssidValue(std::string_view line) {
    line = trimmed(line);
    if (!line.starts_with("ssid=")) return std::nullopt;
    return line.substr(5);
}

bool names(std::string_view value, const SsidForms& forms) { return value == forms.quoted || value == forms.hex; }

// A block: the start of its "network={" line and the end of its "}" line (before the line feed).
struct Block {
    std::size_t start;
    std::size_t end;
};

enum class Search { Found, Interrupted, Unterminated, None };

// The next block whose "network={" line begins at or after `from`. `resume` is where to look
// again when the block was interrupted by another "network={" line.
Search nextBlock(std::string_view text, std::size_t from, Block& block, std::size_t& resume) {
    std::size_t at = from;
    while (at <= text.size()) {
        const LineSpan line = lineAt(text, at);
        if (trimmed(content(text, line)) == blockStart) {
            block.start = line.begin;
            for (std::size_t next = line.end + 1; next <= text.size() && line.end < text.size();) {
                const LineSpan inner = lineAt(text, next);
                const std::string_view value = trimmed(content(text, inner));
                if (value == "}") {
                    block.end = inner.end;
                    return Search::Found;
                }
                if (value == blockStart) {
                    resume = inner.begin;
                    return Search::Interrupted;
                }
                if (inner.end >= text.size()) break;
                next = inner.end + 1;
            }
            return Search::Unterminated;
        }
        if (line.end >= text.size()) break;
        at = line.end + 1;
    }
    return Search::None;
}

// The daemon takes a block's last "ssid=" line as its name.
bool blockBelongs(std::string_view text, const Block& block, const SsidForms& forms) {
    std::optional<std::string_view> name;
    for (std::size_t at = block.start; at < block.end;) {
        const LineSpan line = lineAt(text, at);
        if (const auto value = ssidValue(content(text, line))) name = value;
        at = line.end + 1;
    }
    return name && names(*name, forms);
}

// The range to erase for a block: the block and one blank line next to it, the one before
// when there is one, else the one after.
std::pair<std::size_t, std::size_t> erasure(std::string_view text, const Block& block) {
    std::size_t start = block.start;
    if (start > 0 && text[start - 1] == '\n') {
        const std::size_t previousEnd = start - 1;
        const std::size_t previousFeed = previousEnd == 0 ? std::string_view::npos : text.rfind('\n', previousEnd - 1);
        const std::size_t previousStart = previousFeed == std::string_view::npos ? 0 : previousFeed + 1;
        if (allBlank(text.substr(previousStart, previousEnd - previousStart))) start = previousStart;
    }
    const std::size_t e = block.end;
    const bool feedAtEnd = e < text.size() && text[e] == '\n';
    if (start != block.start) return {start, feedAtEnd ? e + 1 : e};
    if (!feedAtEnd) return {start, e};
    std::size_t end = e + 1;
    const std::size_t nextFeed = text.find('\n', end);
    if (nextFeed != std::string_view::npos && allBlank(text.substr(end, nextFeed - end))) end = nextFeed + 1;
    return {start, end};
}

std::mutex& wpaConfigMutex() {
    static std::mutex mutex;
    return mutex;
}

bool writeAll(int fd, std::string_view bytes) {
    while (!bytes.empty()) {
        const ssize_t written = ::write(fd, bytes.data(), bytes.size());
        if (written < 0 && errno == EINTR) continue;
        if (written <= 0) return false;
        bytes.remove_prefix(static_cast<std::size_t>(written));
    }
    return true;
}

}  // namespace

std::filesystem::path wpaConfigPath(const WpaSystem& system) {
    return system.configDirectory / ("wpa_supplicant-" + wirelessInterface(system) + ".conf");
}

std::string wpaQuote(std::string_view text) {
    std::string quoted;
    quoted.reserve(text.size() + 2);
    quoted += '"';
    quoted += text;
    quoted += '"';
    return quoted;
}

std::string ssidBytes(std::string_view printed) {
    std::string bytes;
    bytes.reserve(printed.size());
    for (std::size_t i = 0; i < printed.size();) {
        const char c = printed[i];
        const char next = i + 1 < printed.size() ? printed[i + 1] : '\0';
        if (c != '\\' || i + 1 >= printed.size()) {
            bytes += c;
            ++i;
            continue;
        }
        switch (next) {
        case '\\': bytes += '\\'; i += 2; continue;
        case '"': bytes += '"'; i += 2; continue;
        case 'e': bytes += '\033'; i += 2; continue;
        case 'n': bytes += '\n'; i += 2; continue;
        case 'r': bytes += '\r'; i += 2; continue;
        case 't': bytes += '\t'; i += 2; continue;
        default: break;
        }
        if (next == 'x' && i + 3 < printed.size() && hexValue(printed[i + 2]) >= 0 && hexValue(printed[i + 3]) >= 0) {
            bytes += static_cast<char>(hexValue(printed[i + 2]) * 16 + hexValue(printed[i + 3]));
            i += 4;
            continue;
        }
        bytes += c;  // no escape: the backslash stands for itself
        ++i;
    }
    return bytes;
}

bool isPrintableAscii(std::string_view text) {
    for (char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte == 0x7F) return false;
    }
    return true;
}

std::optional<std::string> readWpaConfig(const WpaSystem& system) {
    const std::filesystem::path path = wpaConfigPath(system);
    std::error_code error;
    const std::filesystem::file_status status = std::filesystem::status(path, error);
    if (status.type() == std::filesystem::file_type::not_found) return std::string();
    if (error) return std::nullopt;
    // Non-blocking: a FIFO in its place must not hold the caller.
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) return std::nullopt;
    std::string text;
    std::array<char, 65536> buffer;
    for (;;) {
        const ssize_t got = ::read(fd, buffer.data(), buffer.size());
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) {
            ::close(fd);
            return std::nullopt;
        }
        if (got == 0) break;
        text.append(buffer.data(), static_cast<std::size_t>(got));
    }
    ::close(fd);
    return text;
}

bool removeNetworkFromConfig(std::string& text, const std::string& ssid) {
    const SsidForms forms = formsOf(ssid);
    bool removed = false;
    std::size_t position = 0;
    for (;;) {
        Block block{};
        std::size_t resume = 0;
        const Search search = nextBlock(text, position, block, resume);
        if (search == Search::None || search == Search::Unterminated) break;
        if (search == Search::Interrupted) {
            position = resume;
            continue;
        }
        if (!blockBelongs(text, block, forms)) {
            position = block.end;
            continue;
        }
        const auto [start, end] = erasure(text, block);
        text.erase(start, end - start);
        removed = true;
        position = start;
    }
    return removed;
}

bool isWiFiNetworkSaved(const std::string& ssid, const WpaSystem& system) {
    const std::optional<std::string> text = readWpaConfig(system);
    if (!text) return false;
    const SsidForms forms = formsOf(ssid);
    const std::string_view view = *text;
    for (std::size_t at = 0; at <= view.size();) {
        const LineSpan line = lineAt(view, at);
        const auto value = ssidValue(content(view, line));
        if (value && names(*value, forms)) return true;
        if (line.end >= view.size()) break;
        at = line.end + 1;
    }
    return false;
}

std::string wpaPreSharedKey(std::string_view passphrase, std::string_view ssid) {
    if (passphrase.size() > INT_MAX || ssid.size() > INT_MAX) return {};
    std::array<unsigned char, 32> key{};
    if (PKCS5_PBKDF2_HMAC_SHA1(passphrase.data(), static_cast<int>(passphrase.size()),
                               reinterpret_cast<const unsigned char*>(ssid.data()), static_cast<int>(ssid.size()),
                               pskRounds, static_cast<int>(key.size()), key.data()) != 1) {
        return {};
    }
    return lowerHex(std::string_view(reinterpret_cast<const char*>(key.data()), key.size()));
}

bool wpaNetworkAcceptable(const std::string& ssid, const std::string& password, bool owe) {
    if (ssid.empty() || !isPrintableAscii(ssidBytes(ssid)) || !isPrintableAscii(password)) return false;
    return password.empty() || !owe;
}

bool saveWiFiNetwork(const std::string& ssid, const std::string& password, bool owe, const WpaSystem& system) {
    if (!wpaNetworkAcceptable(ssid, password, owe)) return false;
    std::optional<std::string> text = readWpaConfig(system);
    if (!text) return false;
    removeNetworkFromConfig(*text, ssid);
    const std::string bytes = ssidBytes(ssid);
    if (!text->empty() && text->back() != '\n') *text += '\n';
    *text += "\nnetwork={\n\tssid=" + wpaQuote(bytes) + "\n";
    if (password.empty()) {
        *text += owe ? "\tkey_mgmt=OWE\n" : "\tkey_mgmt=NONE\n";
    } else {
        const std::string key = wpaPreSharedKey(password, bytes);
        if (key.empty()) return false;
        *text += "\tpsk=" + key + "\n";
    }
    *text += "}\n";
    return writeWpaConfig(*text, system);
}

bool writeWpaConfig(const std::string& text, const WpaSystem& system) {
    const std::lock_guard lock(wpaConfigMutex());
    SyncSteps& sync = system.sync ? *system.sync : diskSyncSteps();
    const std::filesystem::path path = wpaConfigPath(system);
    std::string name = path.string() + ".tmp.XXXXXX";
    const int fd = ::mkstemp(name.data());
    if (fd < 0) return false;
    (void)::fcntl(fd, F_SETFD, FD_CLOEXEC);
    const auto fail = [&name](int open) {
        if (open >= 0) ::close(open);
        ::unlink(name.c_str());
        return false;
    };
    if (!writeAll(fd, text)) return fail(fd);
    if (!sync.syncFile(fd)) return fail(fd);
    if (::close(fd) != 0) return fail(-1);
    if (::rename(name.c_str(), path.c_str()) != 0) return fail(-1);
    return sync.syncDirectory(path.parent_path());
}

}  // namespace lumetta
