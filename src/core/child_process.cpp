#include "core/child_process.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <optional>

#include "core/int_range.h"
#include "core/unique_fd.h"

extern char** environ;

namespace lumetta {

namespace {

constexpr std::int64_t nsPerMs = 1'000'000;
constexpr std::int64_t passNs = 100 * nsPerMs;             // the longest wait of one pass
constexpr std::size_t chunkBytes = 64 * 1024;              // one read
constexpr std::size_t passBudgetBytes = 256 * 1024;        // per stream and pass
constexpr std::size_t drainBudgetBytes = 2 * 1024 * 1024;  // per stream once the child is reaped

// Where the paths the child tries with execve come from: the name itself when it holds a "/",
// else each PATH entry in order (an empty entry is the working directory).
std::vector<std::string> programCandidates(const std::string& program) {
    if (program.empty()) return {};
    if (program.find('/') != std::string::npos) return {program};
    const char* path = ::getenv("PATH");
    const std::string list = path != nullptr ? path : "/bin:/usr/bin";
    std::vector<std::string> candidates;
    std::size_t begin = 0;
    while (true) {
        const std::size_t end = list.find(':', begin);
        const std::string dir = list.substr(begin, end == std::string::npos ? std::string::npos : end - begin);
        candidates.push_back((dir.empty() ? std::string(".") : dir) + "/" + program);
        if (end == std::string::npos) break;
        begin = end + 1;
    }
    return candidates;
}

// A descriptor for the child's side, numbered 3 or above so that putting it on 1 and 2 never
// overwrites another one of them; close-on-exec (dup2 onto 1 or 2 clears that for the copy).
UniqueFd aboveStandardStreams(int fd) {
    UniqueFd owned(fd);
    if (fd >= 0 && fd < 3) owned = UniqueFd(::fcntl(fd, F_DUPFD_CLOEXEC, 3));
    return owned;
}

struct Pipe {
    UniqueFd read;   // the runner's end, non-blocking
    UniqueFd write;  // the child's end, blocking
};

std::optional<Pipe> makePipe() {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) return std::nullopt;
    Pipe pipe{UniqueFd(fds[0]), aboveStandardStreams(fds[1])};
    if (!pipe.write || ::fcntl(pipe.read.get(), F_SETFL, O_NONBLOCK) != 0) return std::nullopt;
    return pipe;
}

// One captured stream on the runner's side.
class Capture {
public:
    Capture(UniqueFd fd, std::string& text, bool& cut, std::size_t cap)
        : fd_(std::move(fd)), text_(text), cut_(cut), cap_(cap) {}

    int fd() const { return fd_.get(); }
    bool open() const { return fd_.valid(); }

    // Reads what the pipe holds, at most `budget` bytes. Returns true when the budget ran out
    // before the pipe was empty. At end of file (or a read error) the stream is closed.
    bool read(std::size_t budget, char* scratch) {
        std::size_t taken = 0;
        while (fd_ && taken < budget) {
            const ssize_t n = ::read(fd_.get(), scratch, std::min(chunkBytes, budget - taken));
            if (n > 0) {
                keep(scratch, static_cast<std::size_t>(n));
                taken += static_cast<std::size_t>(n);
            } else if (n < 0 && errno == EINTR) {
                continue;
            } else if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
                return false;
            } else {
                fd_.reset();
            }
        }
        return fd_.valid();
    }

    void markCut() { cut_ = true; }

private:
    void keep(const char* data, std::size_t size) {
        const std::size_t room = cap_ - std::min(cap_, text_.size());
        const std::size_t kept = std::min(room, size);
        if (kept < size) cut_ = true;
        if (kept == 0) return;
        // Grow by doubling, but never beyond the cap: a full text holds exactly `cap_` bytes.
        const std::size_t needed = text_.size() + kept;
        if (needed > text_.capacity()) text_.reserve(std::min(cap_, std::max(needed, 2 * text_.capacity())));
        text_.append(data, kept);
    }

    UniqueFd fd_;
    std::string& text_;
    bool& cut_;
    std::size_t cap_;
};

struct WakeOnStop {
    int fd;
    void operator()() const noexcept {
        const std::uint64_t one = 1;
        [[maybe_unused]] const ssize_t written = ::write(fd, &one, sizeof one);
    }
};

// Process descriptors (Linux 5.3 on), called directly: older C libraries have no wrappers.
int openProcessDescriptor(pid_t pid) {
#ifdef SYS_pidfd_open
    return static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
#else
    (void)pid;
    errno = ENOSYS;
    return -1;
#endif
}

void sendSignal(const UniqueFd& pidfd, pid_t pid, int sig) {
    // Through the process descriptor when there is one: it can never reach a process that
    // took over the number of a child the system reaped without us.
#ifdef SYS_pidfd_send_signal
    if (pidfd) {
        if (::syscall(SYS_pidfd_send_signal, pidfd.get(), sig, nullptr, 0) == 0 || errno != ENOSYS) return;
    }
#endif
    ::kill(pid, sig);
}

// In the child, between fork and exec: async-signal-safe calls only.
[[noreturn]] void execChild(int outFd, int errFd, bool errOnOut, char* const* args,
                            const std::vector<const char*>& paths) {
    if (outFd >= 0) ::dup2(outFd, STDOUT_FILENO);
    if (errOnOut) ::dup2(STDOUT_FILENO, STDERR_FILENO);
    else if (errFd >= 0) ::dup2(errFd, STDERR_FILENO);
    struct sigaction defaults {};
    defaults.sa_handler = SIG_DFL;
    for (int sig = 1; sig < NSIG; ++sig) {
        if (sig != SIGKILL && sig != SIGSTOP) ::sigaction(sig, &defaults, nullptr);
    }
    sigset_t none;
    ::sigemptyset(&none);
    ::sigprocmask(SIG_SETMASK, &none, nullptr);
    for (const char* path : paths) ::execve(path, args, environ);
    ::_exit(127);
}

}  // namespace

ChildResult runChild(const std::vector<std::string>& argv, const ChildOptions& options) {
    ChildResult result;
    if (argv.empty()) return result;
    Clock& clock = options.clock != nullptr ? *options.clock : systemClock();
    const bool terminate = options.termination == ChildTermination::TermThenKill;

    // Everything the child needs is built here, before fork.
    std::vector<std::string> argStore(argv);
    std::vector<char*> args;
    args.reserve(argStore.size() + 1);
    for (auto& a : argStore) args.push_back(a.data());
    args.push_back(nullptr);
    const std::vector<std::string> candidates = programCandidates(argv.front());
    std::vector<const char*> paths;
    for (const auto& c : candidates) paths.push_back(c.c_str());

    const ChildStream outMode = options.out == ChildStream::Merge ? ChildStream::Capture : options.out;
    const bool errOnOut = options.err == ChildStream::Merge;
    const ChildStream errMode = errOnOut ? outMode : options.err;

    UniqueFd devNull;
    if (outMode == ChildStream::Discard || errMode == ChildStream::Discard) {
        devNull = aboveStandardStreams(::open("/dev/null", O_WRONLY | O_CLOEXEC));
    }
    std::optional<Pipe> outPipe;
    std::optional<Pipe> errPipe;
    if (outMode == ChildStream::Capture && !(outPipe = makePipe())) return result;
    if (!errOnOut && errMode == ChildStream::Capture && !(errPipe = makePipe())) return result;
    const int childOut = outPipe ? outPipe->write.get() : outMode == ChildStream::Discard ? devNull.get() : -1;
    const int childErr = errPipe ? errPipe->write.get() : errMode == ChildStream::Discard ? devNull.get() : -1;

    // Signals stay blocked from fork until the child has put every action back to its default,
    // so one that arrives early never runs a handler of ours in the child.
    sigset_t all;
    sigset_t previous;
    ::sigfillset(&all);
    ::pthread_sigmask(SIG_SETMASK, &all, &previous);
    const pid_t pid = ::fork();
    if (pid == 0) execChild(childOut, childErr, errOnOut, args.data(), paths);
    ::pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    if (pid < 0) return result;
    result.started = true;

    devNull.reset();
    std::vector<Capture> captures;
    captures.reserve(2);
    if (outPipe) {
        outPipe->write.reset();
        captures.emplace_back(std::move(outPipe->read), result.out, result.outCut, options.outputCap);
    }
    if (errPipe) {
        errPipe->write.reset();
        captures.emplace_back(std::move(errPipe->read), result.err, result.errCut, options.outputCap);
    }

    // Readable once the child has exited; without it (an old kernel) the passes alone find out.
    UniqueFd pidfd(openProcessDescriptor(pid));
    // Readable once stop is requested, so a stop wakes the wait at once.
    UniqueFd stopWake;
    std::optional<std::stop_callback<WakeOnStop>> onStop;
    if (options.stop.stop_possible()) {
        stopWake = UniqueFd(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
        if (stopWake) onStop.emplace(options.stop, WakeOnStop{stopWake.get()});
    }

    std::vector<char> scratch(chunkBytes);
    const std::int64_t startNs = clock.steadyNs();
    const std::int64_t deadlineNs =
        options.limitMs <= 0 ? startNs : saturatingAdd(startNs, saturatingMultiply(options.limitMs, nsPerMs));
    const std::int64_t killAfterNs = saturatingMultiply(std::max<std::int64_t>(options.killAfterMs, 0), nsPerMs);
    std::int64_t termAtNs = 0;
    bool watchExit = pidfd.valid();
    bool watchStop = stopWake.valid();
    int status = 0;

    while (true) {
        const std::int64_t now = clock.steadyNs();
        const bool stopRequested = options.stop.stop_requested();
        const bool timeUp = now >= deadlineNs;
        result.stopped = result.stopped || stopRequested;
        result.timedOut = result.timedOut || timeUp;
        const bool due = stopRequested || timeUp;
        std::int64_t waitNs = passNs;
        if (due && !result.termSent && !result.killSent) {
            if (terminate) {
                sendSignal(pidfd, pid, SIGTERM);
                result.termSent = true;
                termAtNs = now;
            } else {
                sendSignal(pidfd, pid, SIGKILL);
                result.killSent = true;
            }
        } else if (result.killSent || (result.termSent && saturatingAdd(now, -termAtNs) >= killAfterNs)) {
            sendSignal(pidfd, pid, SIGKILL);
            result.killSent = true;
        }
        if (!due) waitNs = std::min(waitNs, deadlineNs - now);
        if (result.termSent && !result.killSent) {
            waitNs = std::min(waitNs, saturatingAdd(saturatingAdd(termAtNs, killAfterNs), -now));
        }
        if (stopRequested) watchStop = false;  // it stays readable; the flag is kept above

        pollfd fds[4];
        nfds_t count = 0;
        const auto watch = [&](int fd) {
            fds[count] = pollfd{fd, POLLIN, 0};
            return count++;
        };
        const nfds_t exitSlot = watchExit ? watch(pidfd.get()) : 4;
        const nfds_t stopSlot = watchStop ? watch(stopWake.get()) : 4;
        for (auto& capture : captures) {
            if (capture.open()) watch(capture.fd());
        }
        const auto timeoutMs = static_cast<int>(std::clamp<std::int64_t>((waitNs + nsPerMs - 1) / nsPerMs, 1, 100));
        if (::poll(fds, count, timeoutMs) > 0) {
            if (exitSlot < count && fds[exitSlot].revents != 0) watchExit = false;  // exited: the wait below reaps it
            if (stopSlot < count && fds[stopSlot].revents != 0) watchStop = false;
        }
        for (auto& capture : captures) capture.read(passBudgetBytes, scratch.data());

        pid_t waited;
        do {
            waited = ::waitpid(pid, &status, WNOHANG);
        } while (waited < 0 && errno == EINTR);
        if (waited == pid) {
            result.reaped = true;
            break;
        }
        if (waited < 0) break;  // not ours to wait for any more: the status is unknown
    }

    for (auto& capture : captures) {
        if (capture.read(drainBudgetBytes, scratch.data())) capture.markCut();
    }
    if (result.reaped) {
        if (WIFEXITED(status)) result.exitStatus = WEXITSTATUS(status);
        if (WIFSIGNALED(status)) result.signal = WTERMSIG(status);
    }
    return result;
}

}  // namespace lumetta
