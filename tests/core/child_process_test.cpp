#include "core/child_process.h"

#include <gtest/gtest.h>
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <future>
#include <limits>
#include <sstream>
#include <thread>

#include "support/fake_tools.h"
#include "support/own_streams.h"
#include "support/pass_clock.h"
#include "support/process_hygiene.h"
#include "core/int_range.h"
#include "support/temp_dir.h"

namespace lumetta {
namespace {

namespace fs = std::filesystem;
using testing::FakeAnswer;
using testing::FakeTools;
using testing::PassClock;

constexpr auto ceiling = std::chrono::seconds(60);
// The fake answers under this name: a tool of its own, so the script keys below are the test's.
const std::string tool = "revision";

std::string procState(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string stat;
    std::getline(in, stat);
    const std::size_t close = stat.rfind(')');
    return close == std::string::npos || close + 2 >= stat.size() ? "" : stat.substr(close + 2, 1);
}

class ChildProcess : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(testing::resolvesToFake(tool)) << "refusing to run: '" << tool << "' on PATH is "
                                                   << testing::findOnPath(tool) << ", not the fake tool";
    }
    void TearDown() override { EXPECT_EQ(hygiene.leftovers(), "") << "left behind by the test"; }

    // Runs the call on another thread, so the test can act while it waits.
    std::future<ChildResult> start(std::vector<std::string> argv, ChildOptions options) {
        return std::async(std::launch::async, [argv = std::move(argv), options] { return runChild(argv, options); });
    }

    testing::ProcessHygiene hygiene;
    FakeTools fakes;
};

TEST_F(ChildProcess, EachStreamGoesWhereItIsSent) {
    fakes.answer(tool, "@any", {.out = "to out\n", .err = "to err\n"});
    struct Case {
        ChildStream out;
        ChildStream err;
        std::string capturedOut;
        std::string capturedErr;
        std::string ownOut;  // what reached this process's own standard output
        std::string ownErr;
    };
    const Case cases[] = {
        {ChildStream::Capture, ChildStream::Capture, "to out\n", "to err\n", "", ""},
        {ChildStream::Capture, ChildStream::Merge, "to out\nto err\n", "", "", ""},
        {ChildStream::Capture, ChildStream::Discard, "to out\n", "", "", ""},
        {ChildStream::Capture, ChildStream::Inherit, "to out\n", "", "", "to err\n"},
        {ChildStream::Discard, ChildStream::Capture, "", "to err\n", "", ""},
        {ChildStream::Discard, ChildStream::Merge, "", "", "", ""},
        {ChildStream::Inherit, ChildStream::Merge, "", "", "to out\nto err\n", ""},
        {ChildStream::Inherit, ChildStream::Discard, "", "", "to out\n", ""},
    };
    int row = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE("row " + std::to_string(row++));
        // This process's own streams go to files while the child runs.
        testing::OwnStreamsToFiles own;
        ChildOptions options;
        options.out = c.out;
        options.err = c.err;
        const ChildResult result = runChild({tool, "streams"}, options);
        own.restore();

        EXPECT_EQ(result.exitStatus, 0);
        EXPECT_EQ(result.out, c.capturedOut);
        EXPECT_EQ(result.err, c.capturedErr);
        EXPECT_EQ(own.out(), c.ownOut);
        EXPECT_EQ(own.err(), c.ownErr);
    }
}

TEST_F(ChildProcess, ArgumentsReachTheProgramUnchangedWithoutAShell) {
    fakes.answer(tool, "@any", {.echoArgs = true});
    const std::vector<std::vector<std::string>> cases = {
        {"two words", "  padded  "},
        {"'single'", "\"double\"", "back\\slash", "$HOME", "`id`", "$(id)", "*", "a;b|c&d>e"},
        {"-", "--", "-x", "--timeout=3"},
        {"", "after an empty one"},
        {std::string(64 * 1024, 'a')},
        {},
    };
    for (const auto& arguments : cases) {
        std::vector<std::string> argv{tool};
        argv.insert(argv.end(), arguments.begin(), arguments.end());
        std::string expected;
        for (const auto& a : arguments) expected += a + '\0';
        const ChildResult result = runChild(argv);
        EXPECT_EQ(result.exitStatus, 0);
        EXPECT_EQ(result.out, expected) << "arguments " << ::testing::PrintToString(arguments).substr(0, 200);
    }
}

TEST_F(ChildProcess, ProgramsAreFoundThroughPathAndAMissingOneExitsWith127) {
    fakes.answer(tool, "@any", {.out = "found"});
    testing::TempDir dir;
    testing::writeTestFile(dir / "not-executable", "#!/bin/sh\necho no\n");
    struct Case {
        std::string program;
        int exitStatus;
        std::string out;
    };
    const Case cases[] = {
        {tool, 0, "found"},                                                   // through PATH
        {(testing::fakeToolsDirectory() / tool).string(), 0, "found"},        // a path is taken as it is
        {"lumetta-no-such-tool", 127, ""},
        {(dir / "missing").string(), 127, ""},
        {(dir / "not-executable").string(), 127, ""},
        {dir.str(), 127, ""},  // a directory
    };
    for (const Case& c : cases) {
        const ChildResult result = runChild({c.program});
        EXPECT_TRUE(result.started) << c.program;
        EXPECT_TRUE(result.reaped) << c.program;
        EXPECT_EQ(result.exitStatus, c.exitStatus) << c.program;
        EXPECT_EQ(result.out, c.out) << c.program;
    }
    EXPECT_FALSE(runChild({}).started);
}

TEST_F(ChildProcess, ExitCodesComeBackAndASignalDeathIsMinusOne) {
    for (int status : {0, 1, 3, 127, 255}) {
        fakes.answer(tool, "exit " + std::to_string(status), {.out = "x", .status = status});
        const ChildResult result = runChild({tool, "exit", std::to_string(status)});
        EXPECT_EQ(result.exitStatus, status);
        EXPECT_EQ(result.signal, 0);
        EXPECT_FALSE(result.timedOut || result.stopped || result.termSent || result.killSent);
    }
    fakes.answer(tool, "dies", {.waitForSignal = true});
    std::stop_source stop;
    ChildOptions options;
    options.stop = stop.get_token();
    auto run = start({tool, "dies"}, options);
    ASSERT_TRUE(fakes.waitForLogLine(tool + " dies"));
    stop.request_stop();
    ASSERT_EQ(run.wait_for(ceiling), std::future_status::ready);
    const ChildResult result = run.get();
    EXPECT_EQ(result.exitStatus, -1);
    EXPECT_EQ(result.signal, SIGTERM);
    EXPECT_TRUE(result.stopped);
    EXPECT_FALSE(result.timedOut);
}

TEST_F(ChildProcess, OutputBeyondTheCapIsReadAndDropped) {
    const std::string block(64 * 1024, 'x');
    fakes.answer(tool, "big", {.out = block, .repeat = "48"});  // 3 MiB
    fakes.answer(tool, "both", {.out = "0123456789abcdef", .err = "fedcba9876543210"});
    fakes.answer(tool, "fits", {.out = "no final line feed"});

    ChildResult big = runChild({tool, "big"});
    // The writer got rid of everything (it was read) and ended by itself; the tail is gone.
    EXPECT_EQ(big.exitStatus, 0);
    EXPECT_EQ(big.out.size(), std::size_t{1} << 20);
    EXPECT_EQ(big.out.find_first_not_of('x'), std::string::npos);
    EXPECT_TRUE(big.outCut);
    EXPECT_LT(big.out.capacity(), std::size_t{2} << 20);

    ChildOptions small;
    small.err = ChildStream::Capture;
    small.outputCap = 10;
    const ChildResult both = runChild({tool, "both"}, small);
    EXPECT_EQ(both.out, "0123456789");
    EXPECT_EQ(both.err, "fedcba9876");
    EXPECT_TRUE(both.outCut);
    EXPECT_TRUE(both.errCut);

    small.outputCap = 18;
    const ChildResult fits = runChild({tool, "fits"}, small);
    EXPECT_EQ(fits.out, "no final line feed");
    EXPECT_FALSE(fits.outCut);
}

TEST_F(ChildProcess, AnEndlessWriterStillStopsAndKeepsOnlyTheCap) {
    fakes.answer(tool, "endless", {.out = std::string(64 * 1024, 'y'), .repeat = "forever"});
    std::stop_source stop;
    ChildOptions options;
    options.stop = stop.get_token();
    auto run = start({tool, "endless"}, options);
    ASSERT_TRUE(fakes.waitForLogLine(tool + " endless"));
    const auto pid = fakes.pidOfCall(tool, "endless");
    ASSERT_TRUE(pid);
    // Only a pipe's worth can be unread, so once the writer is well past the cap the runner has
    // read more than it keeps.
    const auto past = std::chrono::steady_clock::now() + ceiling;
    while (testing::bytesWritten(*pid).value_or(0) < (4 << 20) && std::chrono::steady_clock::now() < past) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    stop.request_stop();
    ASSERT_EQ(run.wait_for(ceiling), std::future_status::ready) << "the stop was not acted on";
    const ChildResult result = run.get();
    EXPECT_EQ(result.signal, SIGTERM);
    EXPECT_EQ(result.exitStatus, -1);
    EXPECT_EQ(result.out.size(), std::size_t{1} << 20);
    EXPECT_TRUE(result.outCut);
}

TEST_F(ChildProcess, AChildIgnoringSigtermGetsSigkillOnceTheGraceHasPassed) {
    fakes.answer(tool, "stubborn", {.waitForSignal = true, .onSigterm = "ignore"});
    PassClock clock;
    ChildOptions options;
    options.limitMs = 3000;
    options.clock = &clock;
    auto run = start({tool, "stubborn"}, options);
    ASSERT_TRUE(fakes.waitUntilWaiting(tool, "stubborn"));
    const pid_t pid = fakes.pidOfCall(tool, "stubborn").value();

    clock.advance(2999);
    ASSERT_TRUE(clock.waitForPasses(2));
    EXPECT_FALSE(fakes.sawSigterm(tool, "stubborn"));
    clock.advance(1);
    ASSERT_TRUE(fakes.waitForSigterm(tool, "stubborn")) << "no SIGTERM at the limit";

    clock.advance(1999);
    ASSERT_TRUE(clock.waitForPasses(2));
    EXPECT_NE(run.wait_for(std::chrono::milliseconds(0)), std::future_status::ready);
    EXPECT_NE(procState(pid), "Z") << "killed before the grace had passed";
    clock.advance(1);
    ASSERT_EQ(run.wait_for(ceiling), std::future_status::ready) << "no SIGKILL after the grace";
    const ChildResult result = run.get();
    EXPECT_EQ(result.signal, SIGKILL);
    EXPECT_EQ(result.exitStatus, -1);
    EXPECT_TRUE(result.timedOut);
    EXPECT_TRUE(result.termSent);
    EXPECT_TRUE(result.killSent);
}

TEST_F(ChildProcess, KillOnlySendsNoSigterm) {
    fakes.answer(tool, "stubborn", {.waitForSignal = true, .onSigterm = "ignore"});
    PassClock clock;
    ChildOptions options;
    options.limitMs = 10'000;
    options.clock = &clock;
    options.termination = ChildTermination::KillOnly;
    auto run = start({tool, "stubborn"}, options);
    ASSERT_TRUE(fakes.waitUntilWaiting(tool, "stubborn"));
    clock.advance(10'000);
    ASSERT_EQ(run.wait_for(ceiling), std::future_status::ready);
    const ChildResult result = run.get();
    EXPECT_EQ(result.signal, SIGKILL);
    EXPECT_FALSE(result.termSent);
    EXPECT_FALSE(fakes.sawSigterm(tool, "stubborn"));
}

TEST_F(ChildProcess, LimitsAtAndBeyondTheEndsOfTheRangeSaturate) {
    fakes.answer(tool, "quick", {.out = "done"});
    fakes.answer(tool, "lingers", {.waitForSignal = true});
    constexpr auto max = std::numeric_limits<std::int64_t>::max();
    constexpr auto min = std::numeric_limits<std::int64_t>::min();
    struct Case {
        std::int64_t limitMs;
        std::int64_t killAfterMs;
        const char* call;
        int exitStatus;
        bool timedOut;
    };
    const Case cases[] = {
        {max, max, "quick", 0, false},       // never due
        {max - 1, 2000, "quick", 0, false},
        {0, max, "lingers", -1, true},       // due at once: SIGTERM ends it
        {-1, 2000, "lingers", -1, true},
        {min, 2000, "lingers", -1, true},
        {max, min, "quick", 0, false},
    };
    PassClock clock;
    clock.advance(max / 2'000'000 - 2'000'000);  // near the end of the nanosecond range
    for (const Case& c : cases) {
        ChildOptions options;
        options.limitMs = c.limitMs;
        options.killAfterMs = c.killAfterMs;
        options.clock = &clock;
        const ChildResult result = runChild({tool, c.call}, options);
        EXPECT_EQ(result.exitStatus, c.exitStatus) << c.limitMs;
        EXPECT_EQ(result.timedOut, c.timedOut) << c.limitMs;
        EXPECT_EQ(result.signal, c.timedOut ? SIGTERM : 0) << c.limitMs << " " << result.termSent << result.killSent;
    }
    EXPECT_EQ(saturatingAdd(max, 1), max);
    EXPECT_EQ(saturatingAdd(min, -1), min);
    EXPECT_EQ(saturatingMultiply(max / 2, 3), max);
    EXPECT_EQ(saturatingMultiply(min, 1000), min);
    EXPECT_EQ(saturatingMultiply(-4, 5), -20);
}

TEST_F(ChildProcess, SignalsBlockedOrIgnoredByTheCallerStillEndTheChild) {
    fakes.answer(tool, "lingers", {.waitForSignal = true});
    // Without its own signal set-up the child would keep the caller's blocked or ignored SIGTERM
    // through exec and only SIGKILL would end it.
    for (const bool ignoreInstead : {false, true}) {
        SCOPED_TRACE(ignoreInstead ? "ignored" : "blocked");
        std::stop_source stop;
        auto run = std::async(std::launch::async, [&] {
            sigset_t term;
            sigemptyset(&term);
            sigaddset(&term, SIGTERM);
            pthread_sigmask(SIG_BLOCK, &term, nullptr);
            struct sigaction ignore {};
            ignore.sa_handler = SIG_IGN;
            struct sigaction previous {};
            if (ignoreInstead) sigaction(SIGTERM, &ignore, &previous);
            ChildOptions options;
            options.stop = stop.get_token();
            ChildResult result = runChild({tool, "lingers"}, options);
            if (ignoreInstead) sigaction(SIGTERM, &previous, nullptr);
            return result;
        });
        const int call = ignoreInstead ? 2 : 1;
        ASSERT_TRUE(fakes.waitUntilWaiting(tool, "lingers", call));
        stop.request_stop();
        ASSERT_EQ(run.wait_for(ceiling), std::future_status::ready);
        const ChildResult result = run.get();
        EXPECT_EQ(result.signal, SIGTERM);
        EXPECT_FALSE(result.killSent);
        EXPECT_EQ(fakes.calls(tool, "lingers"), call);
    }
}

TEST_F(ChildProcess, CallsAtTheSameTimeEachGetTheirOwnChild) {
    fakes.answer(tool, "@any", {.delaySeconds = "0.05", .echoArgs = true});
    std::vector<std::future<ChildResult>> runs;
    for (int i = 0; i < 8; ++i) runs.push_back(start({tool, "call", std::to_string(i)}, {}));
    for (int i = 0; i < 8; ++i) {
        const ChildResult result = runs[static_cast<std::size_t>(i)].get();
        EXPECT_EQ(result.out, std::string("call") + '\0' + std::to_string(i) + '\0');
        EXPECT_EQ(result.exitStatus, 0);
    }
}

// With SIGCHLD ignored the system reaps children by itself and waitpid fails: the status is
// then unknown, which must never read as a clean exit.
TEST_F(ChildProcess, AChildThatCannotBeWaitedForHasNoExitStatus) {
    fakes.answer(tool, "fine", {.out = "all good\n"});
    EXPECT_EXIT(
        {
            ::signal(SIGCHLD, SIG_IGN);
            const ChildResult result = runChild({tool, "fine"});
            std::fprintf(stderr, "started %d reaped %d exitStatus %d\n", result.started, result.reaped,
                         result.exitStatus);
            std::_Exit(0);
        },
        ::testing::ExitedWithCode(0), "started 1 reaped 0 exitStatus -1");
}

}  // namespace
}  // namespace lumetta
