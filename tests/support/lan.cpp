#include "support/lan.h"

#include <fcntl.h>
#include <net/if.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <sstream>
#include <stdexcept>
#include <thread>

extern char** environ;

namespace lumetta::testing {
namespace {

// The identity of a process's network namespace, or none when it cannot be read.
std::optional<std::pair<dev_t, ino_t>> networkNamespaceOf(const std::string& process) {
    struct stat info {};
    if (::stat(("/proc/" + process + "/ns/net").c_str(), &info) != 0) return std::nullopt;
    return std::make_pair(info.st_dev, info.st_ino);
}

pid_t parentOf(pid_t pid) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("PPid:", 0) == 0) return static_cast<pid_t>(std::atol(line.c_str() + 5));
    }
    return 0;
}

std::runtime_error failure(const std::string& what) {
    return std::runtime_error("LAN: " + what + ": " + std::strerror(errno));
}

void closeQuietly(int& fd) {
    if (fd >= 0) ::close(fd);
    fd = -1;
}

// Waits for a child's end, at most `timeoutMs`; kills it after that. Exit code or 128 + signal.
int reap(pid_t pid, int timeoutMs) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    int status = 0;
    for (;;) {
        const pid_t done = ::waitpid(pid, &status, WNOHANG);
        if (done == pid) break;
        if (done < 0 && errno != EINTR) return -1;
        if (std::chrono::steady_clock::now() >= deadline) {
            ::kill(pid, SIGKILL);
            while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
            }
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

// A child that moves into a new network namespace and then only waits for its control pipe to
// close. The namespace lives as long as it does; when the test process ends, however it ends,
// the pipe closes and the holder goes.
void spawnHolder(pid_t& pid, int& control, int& namespaceFd) {
    int controlPipe[2];
    int readyPipe[2];
    if (::pipe2(controlPipe, O_CLOEXEC) != 0) throw failure("pipe");
    if (::pipe2(readyPipe, O_CLOEXEC) != 0) {
        ::close(controlPipe[0]);
        ::close(controlPipe[1]);
        throw failure("pipe");
    }
    pid = ::fork();
    if (pid < 0) throw failure("fork");
    if (pid == 0) {
        // Only system calls from here on: the parent may have threads.
        ::dup2(controlPipe[0], 0);
        ::dup2(readyPipe[1], 1);
        ::syscall(SYS_close_range, 3u, ~0u, 0u);  // keep no other test resource alive
        if (::unshare(CLONE_NEWNET) != 0) ::_exit(1);
        const char ready = 'r';
        if (::write(1, &ready, 1) != 1) ::_exit(1);
        char byte;
        for (;;) {
            const ssize_t n = ::read(0, &byte, 1);
            if (n == 0 || (n < 0 && errno != EINTR)) break;
        }
        ::_exit(0);
    }
    ::close(controlPipe[0]);
    ::close(readyPipe[1]);
    control = controlPipe[1];
    pollfd wait{readyPipe[0], POLLIN, 0};
    char ready = 0;
    const bool ok = ::poll(&wait, 1, 10000) == 1 && ::read(readyPipe[0], &ready, 1) == 1;
    ::close(readyPipe[0]);
    if (!ok) {
        closeQuietly(control);
        reap(pid, 1000);
        throw std::runtime_error("LAN: a namespace holder did not come up (is this root?)");
    }
    const std::string path = "/proc/" + std::to_string(pid) + "/ns/net";
    namespaceFd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (namespaceFd < 0) {
        closeQuietly(control);
        reap(pid, 1000);
        throw failure("open " + path);
    }
}

std::vector<std::string> environmentWith(const std::map<std::string, std::optional<std::string>>& changes) {
    std::vector<std::string> result;
    for (char** entry = environ; entry && *entry; ++entry) {
        const std::string text = *entry;
        const std::string name = text.substr(0, text.find('='));
        if (changes.count(name) == 0) result.push_back(text);
    }
    for (const auto& [name, value] : changes) {
        if (value) result.push_back(name + "=" + *value);
    }
    return result;
}

// Forks a child that joins the namespace behind `namespaceFd` and runs `argv` with the given
// standard streams (-1: /dev/null).
pid_t spawnInside(int namespaceFd, const std::vector<std::string>& argv,
                  const std::map<std::string, std::optional<std::string>>& changes, int in, int out, int err) {
    // Everything the child needs is built before the fork.
    std::vector<std::string> environment = environmentWith(changes);
    std::vector<char*> args;
    for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    std::vector<char*> envp;
    for (auto& e : environment) envp.push_back(e.data());
    envp.push_back(nullptr);
    int null = ::open("/dev/null", O_RDWR | O_CLOEXEC);

    const pid_t pid = ::fork();
    if (pid < 0) {
        closeQuietly(null);
        throw failure("fork");
    }
    if (pid == 0) {
        if (::setns(namespaceFd, CLONE_NEWNET) != 0) ::_exit(126);
        ::dup2(in >= 0 ? in : null, 0);
        ::dup2(out >= 0 ? out : null, 1);
        ::dup2(err >= 0 ? err : null, 2);
        ::execvpe(args[0], args.data(), envp.data());
        ::_exit(127);
    }
    if (null >= 0) ::close(null);
    return pid;
}

// Runs a configuration command inside a namespace; throws with its error output on failure.
void configure(int namespaceFd, const std::vector<std::string>& argv) {
    int errPipe[2];
    if (::pipe2(errPipe, O_CLOEXEC) != 0) throw failure("pipe");
    const pid_t pid = spawnInside(namespaceFd, argv, {}, -1, -1, errPipe[1]);
    ::close(errPipe[1]);
    std::string text;
    char buffer[512];
    for (;;) {
        const ssize_t n = ::read(errPipe[0], buffer, sizeof buffer);
        if (n > 0) text.append(buffer, static_cast<std::size_t>(n));
        else if (n == 0 || errno != EINTR) break;
    }
    ::close(errPipe[0]);
    const int status = reap(pid, 10000);
    if (status != 0) {
        std::string line;
        for (const auto& a : argv) line += a + " ";
        throw std::runtime_error("LAN: '" + line + "' failed (" + std::to_string(status) + "): " + text);
    }
}

}  // namespace

bool inPrivateNetworkNamespace() {
    const auto own = networkNamespaceOf("thread-self");
    if (!own) return false;
    if (const auto machine = networkNamespaceOf("1")) return *own != *machine;
    // Some sandboxes hide PID 1's namespace from a process in another network namespace (it
    // stays readable from its own). Then an ancestor in a namespace other than ours shows
    // that we were moved out of it; with no such ancestor we refuse.
    for (pid_t pid = ::getpid(); pid > 1; pid = parentOf(pid)) {
        const auto theirs = networkNamespaceOf(std::to_string(pid));
        if (theirs && *theirs != *own) return true;
    }
    return false;
}

bool enterFreshNetworkNamespace() {
    if (!inPrivateNetworkNamespace()) return false;
    if (::unshare(CLONE_NEWNET) != 0) return false;
    const int s = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (s < 0) return false;
    ifreq request{};
    std::strncpy(request.ifr_name, "lo", IFNAMSIZ - 1);
    bool ok = ::ioctl(s, SIOCGIFFLAGS, &request) == 0;
    request.ifr_flags |= IFF_UP;
    ok = ok && ::ioctl(s, SIOCSIFFLAGS, &request) == 0;
    ::close(s);
    return ok;
}

// ---- Probe ----

Probe::~Probe() {
    finish();
    if (!errorFile_.empty()) ::unlink(errorFile_.c_str());
}

bool Probe::send(const std::string& line) {
    if (in_ < 0) return false;
    const std::string text = line + "\n";
    std::size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = ::write(in_, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += static_cast<std::size_t>(n);
    }
    return true;
}

std::optional<std::string> Probe::readLine(int timeoutMs) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        const std::size_t end = buffered_.find('\n');
        if (end != std::string::npos) {
            std::string line = buffered_.substr(0, end);
            buffered_.erase(0, end + 1);
            return line;
        }
        if (out_ < 0) return std::nullopt;
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) return std::nullopt;
        pollfd wait{out_, POLLIN, 0};
        const int ready = ::poll(&wait, 1, static_cast<int>(left.count()));
        if (ready < 0 && errno == EINTR) continue;
        if (ready <= 0) return std::nullopt;
        char buffer[4096];
        const ssize_t n = ::read(out_, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            closeQuietly(out_);
            continue;
        }
        buffered_.append(buffer, static_cast<std::size_t>(n));
    }
}

std::optional<std::string> Probe::ask(const std::string& line, int timeoutMs) {
    if (!send(line)) return std::nullopt;
    return readLine(timeoutMs);
}

std::string Probe::errors() const {
    std::ifstream file(errorFile_, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

int Probe::finish(int timeoutMs) {
    closeQuietly(in_);
    if (!status_ && pid_ > 0) status_ = reap(pid_, timeoutMs);
    closeQuietly(out_);
    return status_.value_or(-1);
}

void Probe::signal(int number) {
    if (pid_ > 0 && !status_) ::kill(pid_, number);
}

// ---- LanHost ----

LanHost::~LanHost() {
    closeQuietly(namespaceFd_);
    closeQuietly(control_);
    if (holder_ > 0) reap(holder_, 5000);
}

std::unique_ptr<Probe> LanHost::start(const std::vector<std::string>& argv,
                                      const std::map<std::string, std::optional<std::string>>& environment) {
    std::unique_ptr<Probe> probe(new Probe());
    const char* base = std::getenv("TMPDIR");
    std::string pattern = std::string(base && *base ? base : "/tmp") + "/lumetta-probe-XXXXXX";
    std::vector<char> name(pattern.begin(), pattern.end());
    name.push_back('\0');
    const int errFd = ::mkostemp(name.data(), O_CLOEXEC);
    if (errFd < 0) throw failure("mkostemp");
    probe->errorFile_ = name.data();

    int in[2];
    int out[2];
    if (::pipe2(in, O_CLOEXEC) != 0) {
        ::close(errFd);
        throw failure("pipe");
    }
    if (::pipe2(out, O_CLOEXEC) != 0) {
        ::close(errFd);
        ::close(in[0]);
        ::close(in[1]);
        throw failure("pipe");
    }
    try {
        probe->pid_ = spawnInside(namespaceFd_, argv, environment, in[0], out[1], errFd);
    } catch (...) {
        for (int fd : {errFd, in[0], in[1], out[0], out[1]}) ::close(fd);
        throw;
    }
    ::close(errFd);
    ::close(in[0]);
    ::close(out[1]);
    probe->in_ = in[1];
    probe->out_ = out[0];
    return probe;
}

int LanHost::run(const std::vector<std::string>& argv) {
    return reap(spawnInside(namespaceFd_, argv, {}, -1, -1, -1), 30000);
}

int LanHost::openSocket(int domain, int type, int protocol) {
    int fd = -1;
    int error = 0;
    runInside([&] {
        fd = ::socket(domain, type, protocol);
        error = errno;
    });
    if (fd < 0) errno = error;
    return fd;
}

void LanHost::runInside(const std::function<void()>& work) {
    std::exception_ptr failed;
    std::thread inside([&] {
        if (::setns(namespaceFd_, CLONE_NEWNET) != 0) {
            failed = std::make_exception_ptr(failure("setns"));
            return;
        }
        try {
            work();
        } catch (...) {
            failed = std::current_exception();
        }
    });
    inside.join();
    if (failed) std::rethrow_exception(failed);
}

void LanHost::setLinkUp(bool up) {
    configure(namespaceFd_, {"ip", "link", "set", "eth0", up ? "up" : "down"});
}

// ---- Lan ----

Lan::Lan(std::string subnet) : subnet_(std::move(subnet)) {
    if (!inPrivateNetworkNamespace())
        throw std::runtime_error("LAN: refusing to build a LAN in the machine's own network namespace");
    spawnHolder(switchHolder_, switchControl_, switchFd_);
    try {
        configure(switchFd_, {"ip", "link", "add", "br0", "type", "bridge", "forward_delay", "0"});
        configure(switchFd_, {"ip", "link", "set", "br0", "up"});
    } catch (...) {
        closeQuietly(switchFd_);
        closeQuietly(switchControl_);
        reap(switchHolder_, 5000);
        throw;
    }
}

Lan::~Lan() {
    hosts_.clear();
    closeQuietly(switchFd_);
    closeQuietly(switchControl_);
    if (switchHolder_ > 0) reap(switchHolder_, 5000);
}

LanHost& Lan::addHost() {
    std::unique_ptr<LanHost> host(new LanHost());
    spawnHolder(host->holder_, host->control_, host->namespaceFd_);
    const std::string number = std::to_string(hosts_.size() + 1);
    const std::string port = "h" + number;
    host->address_ = subnet_ + "." + number;
    configure(switchFd_, {"ip", "link", "add", port, "type", "veth", "peer", "name", "eth0", "netns",
                          std::to_string(host->holder_)});
    configure(switchFd_, {"ip", "link", "set", port, "master", "br0"});
    configure(switchFd_, {"ip", "link", "set", port, "up"});
    configure(host->namespaceFd_, {"ip", "link", "set", "lo", "up"});
    configure(host->namespaceFd_, {"ip", "addr", "add", host->address_ + "/24", "dev", "eth0"});
    configure(host->namespaceFd_, {"ip", "link", "set", "eth0", "up"});
    configure(host->namespaceFd_, {"ip", "route", "add", "default", "dev", "eth0"});
    hosts_.push_back(std::move(host));
    return *hosts_.back();
}

}  // namespace lumetta::testing
