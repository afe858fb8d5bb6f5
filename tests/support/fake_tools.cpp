#include "support/fake_tools.h"

#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <thread>

namespace lumetta::testing {

namespace fs = std::filesystem;

namespace {

std::optional<std::string> environment(const char* name) {
    const char* value = std::getenv(name);
    return value != nullptr ? std::optional<std::string>(value) : std::nullopt;
}

void restore(const char* name, const std::optional<std::string>& value) {
    if (value) ::setenv(name, value->c_str(), 1);
    else ::unsetenv(name);
}

std::string readAll(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

// Polls a condition in real time: what the fakes do is seen only through their files.
template <typename Condition>
bool waitUntil(std::chrono::milliseconds limit, Condition condition) {
    const auto end = std::chrono::steady_clock::now() + limit;
    while (!condition()) {
        if (std::chrono::steady_clock::now() >= end) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

}  // namespace

fs::path fakeToolsDirectory() { return fs::path(LUMETTA_SOURCE_DIR) / "tests/fakes/bin"; }

fs::path findOnPath(const std::string& name) {
    const std::string path = environment("PATH").value_or("/bin:/usr/bin");
    std::size_t begin = 0;
    while (true) {
        const std::size_t end = path.find(':', begin);
        std::string dir = path.substr(begin, end == std::string::npos ? std::string::npos : end - begin);
        const fs::path candidate = fs::path(dir.empty() ? "." : dir) / name;
        if (::access(candidate.c_str(), X_OK) == 0 && !fs::is_directory(candidate)) return candidate;
        if (end == std::string::npos) return {};
        begin = end + 1;
    }
}

bool resolvesToFake(const std::string& name) {
    const fs::path found = findOnPath(name);
    std::error_code error;
    return !found.empty() && fs::equivalent(found, fakeToolsDirectory() / name, error);
}

FakeTools::FakeTools()
    : script_(dir_ / "script"),
      log_(dir_ / "calls.log"),
      previousLog_(environment("LUMETTA_FAKE_LOG")),
      previousScript_(environment("LUMETTA_FAKE_DIR")) {
    fs::create_directories(script_);
    ::setenv("LUMETTA_FAKE_LOG", log_.c_str(), 1);
    ::setenv("LUMETTA_FAKE_DIR", script_.c_str(), 1);
}

FakeTools::~FakeTools() {
    restore("LUMETTA_FAKE_LOG", previousLog_);
    restore("LUMETTA_FAKE_DIR", previousScript_);
}

fs::path FakeTools::keyDirectory(const std::string& tool, const std::string& key) const {
    std::string name;
    for (char c : key) name += c == '/' ? std::string("%2F") : std::string(1, c);
    return script_ / tool / name;
}

void FakeTools::write(const fs::path& dir, const FakeAnswer& answer) {
    fs::create_directories(dir);
    if (!answer.out.empty()) writeTestFile(dir / "stdout", answer.out);
    if (!answer.err.empty()) writeTestFile(dir / "stderr", answer.err);
    if (answer.status != 0) writeTestFile(dir / "status", std::to_string(answer.status));
    if (!answer.repeat.empty()) writeTestFile(dir / "repeat", answer.repeat);
    if (!answer.delaySeconds.empty()) writeTestFile(dir / "delay", answer.delaySeconds);
    if (answer.closeStdout) writeTestFile(dir / "close-stdout", "");
    if (answer.waitForSignal) writeTestFile(dir / "wait", "");
    if (!answer.onSigterm.empty()) writeTestFile(dir / "sigterm", answer.onSigterm);
    if (answer.echoArgs) writeTestFile(dir / "echo-args", "");
}

void FakeTools::answer(const std::string& tool, const std::string& key, const FakeAnswer& answer) {
    write(keyDirectory(tool, key), answer);
}

void FakeTools::sequence(const std::string& tool, const std::string& key, const std::vector<FakeAnswer>& answers) {
    for (std::size_t i = 0; i < answers.size(); ++i) {
        write(keyDirectory(tool, key) / std::to_string(i + 1), answers[i]);
    }
}

void FakeTools::clear(const std::string& tool, const std::string& key) { fs::remove_all(keyDirectory(tool, key)); }

std::vector<std::string> FakeTools::log() const {
    std::vector<std::string> lines;
    std::istringstream in(readAll(log_));
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

int FakeTools::calls(const std::string& tool, const std::string& key) const {
    int n = 0;
    while (fs::exists(keyDirectory(tool, key) / (".call-" + std::to_string(n + 1)))) ++n;
    return n;
}

std::optional<pid_t> FakeTools::pidOfCall(const std::string& tool, const std::string& key, int n) const {
    std::istringstream in(readAll(keyDirectory(tool, key) / (".call-" + std::to_string(n))));
    long pid = 0;
    if (!(in >> pid) || pid <= 0) return std::nullopt;
    return static_cast<pid_t>(pid);
}

bool FakeTools::markerHas(const std::string& tool, const std::string& key, int n, const std::string& word) const {
    std::istringstream in(readAll(keyDirectory(tool, key) / (".call-" + std::to_string(n))));
    for (std::string line; std::getline(in, line);) {
        if (line == word) return true;
    }
    return false;
}

bool FakeTools::sawSigterm(const std::string& tool, const std::string& key, int n) const {
    return markerHas(tool, key, n, "SIGTERM");
}

bool FakeTools::waitForLogLine(const std::string& line, int times, std::chrono::milliseconds limit) const {
    return waitUntil(limit, [&] {
        int seen = 0;
        for (const auto& each : log()) seen += each == line ? 1 : 0;
        return seen >= times;
    });
}

bool FakeTools::waitForSigterm(const std::string& tool, const std::string& key, int n,
                               std::chrono::milliseconds limit) const {
    return waitUntil(limit, [&] { return sawSigterm(tool, key, n); });
}

bool FakeTools::waitUntilWaiting(const std::string& tool, const std::string& key, int n,
                                 std::chrono::milliseconds limit) const {
    return waitUntil(limit, [&] { return markerHas(tool, key, n, "waiting"); });
}

std::optional<long long> bytesWritten(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/io");
    for (std::string word; in >> word;) {
        long long value = 0;
        if (word == "wchar:" && in >> value) return value;
    }
    return std::nullopt;
}

}  // namespace lumetta::testing
