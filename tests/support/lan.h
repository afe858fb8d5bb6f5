#pragma once
// A small LAN for tests of LAN traffic (broadcasts, fixed ports): every host is a network
// namespace of its own, held by a child process, joined to the others by a veth pair on one
// bridge. The bridge sits in a namespace of its own as well, so nothing of the LAN is visible in
// the namespace the test runs in, and tests running side by side never see each other's LANs.
//
// Only ever used inside a private network namespace (scripts/run-tests.sh runs the suite in one):
// `Lan` refuses to build anything in the machine's own namespace. No `ip netns add` (it writes
// /run/netns); namespaces live exactly as long as their holder processes.
//
//     Lan lan;                                   // throws unless in a private namespace
//     LanHost& a = lan.addHost();                // 10.77.0.1/24 on eth0, default route on eth0
//     LanHost& b = lan.addHost();                // 10.77.0.2/24
//     std::unique_ptr<Probe> p = a.start({PROBE, "arg"});
//     p->send("command");
//     std::optional<std::string> answer = p->readLine();
//     int s = b.openSocket(AF_INET, SOCK_DGRAM); // a socket that lives in b's namespace

#include <gtest/gtest.h>
#include <sys/types.h>

#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace lumetta::testing {

// True when the calling thread's network namespace differs from PID 1's, the machine's own.
// Every test that sends to the LAN (broadcasts, fixed ports) checks it first.
bool inPrivateNetworkNamespace();

// First line of every such test: fails it, touching nothing, outside a private namespace.
#define LUMETTA_REQUIRE_PRIVATE_NETWORK()                                                            \
    do {                                                                                             \
        if (!::lumetta::testing::inPrivateNetworkNamespace())                                        \
            GTEST_FAIL() << "refusing to run outside a private network namespace (use run-tests.sh)"; \
    } while (false)

// Moves the calling thread into a fresh network namespace with only loopback, up; threads it
// starts afterwards are there too. Lets a test bind fixed ports without meeting tests that run
// at the same time. Refuses (false) when the thread is still in the machine's own namespace.
bool enterFreshNetworkNamespace();

// A process started in a host's namespace, its standard input and output on pipes and its
// standard error collected in a file.
class Probe {
public:
    ~Probe();  // closes standard input, waits up to 5 s for the end, then kills
    Probe(const Probe&) = delete;
    Probe& operator=(const Probe&) = delete;

    pid_t pid() const { return pid_; }
    // Writes `line` and a line end. False when the process no longer reads.
    bool send(const std::string& line);
    // The next line of its standard output without the line end; none after `timeoutMs` or at
    // the end of its output.
    std::optional<std::string> readLine(int timeoutMs = 10000);
    // send() then readLine().
    std::optional<std::string> ask(const std::string& line, int timeoutMs = 10000);
    // Everything it wrote to standard error so far.
    std::string errors() const;
    // Closes standard input and waits (at most `timeoutMs`, then kills) for the exit status:
    // the exit code, or 128 + the signal.
    int finish(int timeoutMs = 5000);
    // Sends a signal (SIGKILL for a player that vanishes).
    void signal(int number);

private:
    friend class LanHost;
    Probe() = default;

    pid_t pid_ = -1;
    int in_ = -1;
    int out_ = -1;
    std::string errorFile_;
    std::string buffered_;
    std::optional<int> status_;
};

class LanHost {
public:
    LanHost(const LanHost&) = delete;
    LanHost& operator=(const LanHost&) = delete;
    ~LanHost();

    const std::string& address() const { return address_; }  // dotted IPv4, "10.77.0.N"
    pid_t namespacePid() const { return holder_; }

    // Starts `argv` (looked up on PATH when it has no slash) inside this host's namespace.
    // `environment` sets (or, with none, removes) variables on top of the test's own.
    std::unique_ptr<Probe> start(const std::vector<std::string>& argv,
                                 const std::map<std::string, std::optional<std::string>>& environment = {});
    // Runs a command inside the namespace to its end; its exit status, output discarded.
    int run(const std::vector<std::string>& argv);
    // A socket made inside this host's namespace; it stays there wherever it is used from.
    // -1 with errno on failure. The caller closes it.
    int openSocket(int domain, int type, int protocol = 0);
    // Runs `work` on a thread that is inside this host's namespace, and waits for it.
    void runInside(const std::function<void()>& work);
    // Takes the host's link down or up again: a peer that drops off the LAN without a word.
    void setLinkUp(bool up);

private:
    friend class Lan;
    LanHost() = default;

    pid_t holder_ = -1;
    int control_ = -1;  // the holder lives until this closes
    int namespaceFd_ = -1;
    std::string address_;
};

class Lan {
public:
    // Throws std::runtime_error unless the test runs in a private network namespace, or when a
    // namespace or the bridge cannot be made. `subnet` is the first three octets.
    explicit Lan(std::string subnet = "10.77.0");
    ~Lan();
    Lan(const Lan&) = delete;
    Lan& operator=(const Lan&) = delete;

    // A new host with the next address (.1, .2, ...), its interface "eth0" up with a /24 and a
    // default route on it (a limited broadcast needs a route), and loopback up.
    LanHost& addHost();
    const std::vector<std::unique_ptr<LanHost>>& hosts() const { return hosts_; }

private:
    std::string subnet_;
    pid_t switchHolder_ = -1;
    int switchControl_ = -1;
    int switchFd_ = -1;
    std::vector<std::unique_ptr<LanHost>> hosts_;
};

}  // namespace lumetta::testing
