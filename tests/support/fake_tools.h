#pragma once
// Scripting the fake device tools of tests/fakes/bin from a test.
//
// Under scripts/run-tests.sh the fakes come first on PATH; a test that starts a real runner on a
// tool first checks `resolvesToFake(name)`. A `FakeTools` gives the test its own script
// directory and log (LUMETTA_FAKE_DIR, LUMETTA_FAKE_LOG; the suite's shared log is put back
// when it goes), so tests running at once never see each other's calls.
//
//   FakeTools fakes;
//   fakes.answer("bluetoothctl", "--timeout 3 devices", {.out = "Device AA:BB:CC:DD:EE:FF Pad\n"});
//   fakes.sequence("bluetoothctl", "info AA:BB:CC:DD:EE:FF", {{.status = 1}, {.out = "Paired: yes\n"}});
//   fakes.answer("systemctl", "@any", {.waitForSignal = true, .onSigterm = "ignore"});
//
// The key is the call's arguments joined by single spaces; "@any" answers every call without an
// answer of its own, "@none" a call without arguments. The file format is described at the top
// of tests/fakes/bin/fake-tool.

#include <sys/types.h>

#include <chrono>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "support/temp_dir.h"

namespace lumetta::testing {

std::filesystem::path fakeToolsDirectory();
// Where `name` is found on PATH, as a shell would find it; empty when nowhere.
std::filesystem::path findOnPath(const std::string& name);
// Whether `name` on PATH is the fake of tests/fakes/bin.
bool resolvesToFake(const std::string& name);

struct FakeAnswer {
    std::string out = "";        // standard output, written as it is
    std::string err = "";        // standard error, written after standard output
    int status = 0;              // exit status
    std::string repeat = "";     // how many times `out` is written ("" once, or "forever")
    std::string delaySeconds = "";  // wait before writing ("0.25"); "" none
    bool closeStdout = false;    // close standard output once everything is written
    bool waitForSignal = false;  // after writing, run until a signal ends the tool
    std::string onSigterm = "";  // "" dies of it, "ignore" survives it, "3" exits with 3
    bool echoArgs = false;       // first write each argument followed by a NUL byte
};

class FakeTools {
public:
    FakeTools();
    ~FakeTools();
    FakeTools(const FakeTools&) = delete;
    FakeTools& operator=(const FakeTools&) = delete;

    // The same answer for every call of `tool` with arguments `key`.
    void answer(const std::string& tool, const std::string& key, const FakeAnswer& answer);
    // One answer per call in order; the last repeats.
    void sequence(const std::string& tool, const std::string& key, const std::vector<FakeAnswer>& answers);
    // Drops the answers of `key` and its count of calls.
    void clear(const std::string& tool, const std::string& key);

    // The calls made so far, one line each: the tool's name and its arguments.
    std::vector<std::string> log() const;
    const std::filesystem::path& logPath() const { return log_; }
    // Calls of `tool` with `key` so far (answered from this directory).
    int calls(const std::string& tool, const std::string& key) const;
    // The process id of call `n` (from 1), once it has started.
    std::optional<pid_t> pidOfCall(const std::string& tool, const std::string& key, int n = 1) const;
    // Whether call `n` survived a SIGTERM (answers with onSigterm "ignore").
    bool sawSigterm(const std::string& tool, const std::string& key, int n = 1) const;

    // Wait in real time (at most `limit`) for the log to hold `line` `times` times / for a
    // SIGTERM of call `n`.
    bool waitForLogLine(const std::string& line, int times = 1,
                        std::chrono::milliseconds limit = std::chrono::seconds(30)) const;
    bool waitForSigterm(const std::string& tool, const std::string& key, int n = 1,
                        std::chrono::milliseconds limit = std::chrono::seconds(30)) const;
    // Waits until call `n` has written all it writes and waits for a signal (waitForSignal).
    bool waitUntilWaiting(const std::string& tool, const std::string& key, int n = 1,
                          std::chrono::milliseconds limit = std::chrono::seconds(30)) const;

private:
    std::filesystem::path keyDirectory(const std::string& tool, const std::string& key) const;
    static void write(const std::filesystem::path& dir, const FakeAnswer& answer);
    bool markerHas(const std::string& tool, const std::string& key, int n, const std::string& word) const;

    TempDir dir_;
    std::filesystem::path script_;
    std::filesystem::path log_;
    std::optional<std::string> previousLog_;
    std::optional<std::string> previousScript_;
};

// Bytes the process has written so far (/proc/<pid>/io), or nullopt once it is gone.
std::optional<long long> bytesWritten(pid_t pid);

}  // namespace lumetta::testing
