#pragma once
// The one runner of external programs (device tools such as bluetoothctl, wpa_cli, systemctl).
//
// A program is started with fork and exec from a fixed argument vector, found through PATH,
// never through a shell. Each caller sets what it needs: where the child's standard output and
// standard error go, a time limit on the `Clock`, a stop token, and how the child is ended when
// the limit passes or stop is requested. The call returns once the child has been reaped.
//
//   // bluetoothctl, both streams in one text, 6 s, SIGTERM and 2 s later SIGKILL:
//   ChildOptions options;
//   options.limitMs = 6000;
//   options.stop = stop;
//   ChildResult r = runChild({"bluetoothctl", "--timeout", "3", "show"}, options);
//
//   // systemctl, output on the player's own streams, 10 s, SIGKILL alone:
//   options.out = ChildStream::Inherit;
//   options.err = ChildStream::Inherit;
//   options.termination = ChildTermination::KillOnly;
//
// How a run goes:
//   - The argument vector and the PATH candidates are built before fork; between fork and exec
//     the child only makes async-signal-safe calls (dup2, sigaction, sigprocmask, execve). It
//     starts with every signal at its default action and none blocked, whatever the caller's
//     thread had. Standard input and the environment are inherited. A program that cannot be
//     run makes the child exit with 127 (a file without a "#!" line is not handed to a shell).
//   - Captured streams come through close-on-exec pipes; the child's ends are plain blocking
//     descriptors, the runner's end is non-blocking.
//   - Passes: each pass reads the clock, ends the child when it is due, waits at most 100 ms for
//     output, the child's exit or a stop request, reads a bounded amount from each captured
//     stream and polls the child with waitpid (WNOHANG, retried on EINTR). The limit and stop
//     are therefore acted on within one pass however fast the child writes, and a stop request
//     wakes the wait at once.
//   - Ending: SIGTERM when the run is due, then SIGKILL on every pass once `killAfterMs` have
//     passed since (TermThenKill); or SIGKILL at once and on every pass (KillOnly).
//   - At most `outputCap` bytes of a captured stream are kept; the rest is read and dropped and
//     the stream is marked cut.
//   - Safe to call from several threads at once: each call owns its pipes and waits only for its
//     own child.

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <limits>
#include <stop_token>
#include <string>
#include <vector>

#include "core/clock.h"

namespace lumetta {

// Where one of the child's output streams goes.
enum class ChildStream {
    Capture,  // into the result (`out` for standard output, `err` for standard error)
    Merge,    // standard error only: into `out`, interleaved as written (same pipe as standard output)
    Inherit,  // the caller's own descriptor
    Discard,  // /dev/null (inherited when /dev/null cannot be opened)
};

// How a child that is due to end (limit passed or stop requested) is ended.
enum class ChildTermination {
    TermThenKill,  // SIGTERM, then SIGKILL once `killAfterMs` have passed since the SIGTERM
    KillOnly,      // SIGKILL
};

struct ChildOptions {
    ChildStream out = ChildStream::Capture;  // Merge is not allowed here (treated as Capture)
    ChildStream err = ChildStream::Merge;    // Merge goes wherever `out` goes
    // Time from the start until the child is due to end; 0 or less: due at once; huge values
    // saturate (the default never ends the child for time).
    std::int64_t limitMs = std::numeric_limits<std::int64_t>::max();
    std::stop_token stop;  // may have no stop state
    ChildTermination termination = ChildTermination::TermThenKill;
    std::int64_t killAfterMs = 2000;
    std::size_t outputCap = std::size_t{1} << 20;  // bytes kept per captured stream
    Clock* clock = nullptr;                       // default: systemClock()
};

struct ChildResult {
    bool started = false;  // the pipes were made and fork succeeded
    bool reaped = false;   // waitpid returned the child; false after a wait that failed
    // The exit code (0-255) when the child exited normally; -1 when it did not start, ended
    // through a signal, or could not be waited for.
    int exitStatus = -1;
    int signal = 0;  // the signal that ended it, 0 otherwise
    bool timedOut = false;       // the limit passed before the child ended
    bool stopped = false;        // stop was requested before the child ended
    bool termSent = false;
    bool killSent = false;
    std::string out;
    std::string err;
    bool outCut = false;  // more than `outputCap` bytes came (or the tail could not be read)
    bool errCut = false;
};

// Runs argv[0] (looked up on PATH unless it contains a "/") with the arguments argv[1..].
// An empty argv starts nothing.
ChildResult runChild(const std::vector<std::string>& argv, const ChildOptions& options = {});

}  // namespace lumetta
