#include "support/subprocess.h"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <stdexcept>

namespace lumetta::testing {
namespace {

struct Channel {
    int readFd = -1;
    int writeFd = -1;
};

Channel makeChannel(bool terminal) {
    Channel c;
    int fds[2];
    if (terminal) {
        if (::openpty(&fds[0], &fds[1], nullptr, nullptr, nullptr) != 0) throw std::runtime_error("openpty failed");
    } else if (::pipe2(fds, O_CLOEXEC) != 0) {
        throw std::runtime_error("pipe failed");
    }
    c.readFd = fds[0];
    c.writeFd = fds[1];
    return c;
}

}  // namespace

ProcessResult runProcess(const std::vector<std::string>& argv, const ProcessOptions& options) {
    Channel out = makeChannel(options.stdoutTerminal);
    Channel err = makeChannel(options.stderrTerminal);
    int in[2];
    if (::pipe2(in, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");

    const pid_t pid = ::fork();
    if (pid < 0) throw std::runtime_error("fork failed");
    if (pid == 0) {
        ::dup2(in[0], 0);
        ::dup2(out.writeFd, 1);
        ::dup2(err.writeFd, 2);
        for (const auto& [name, value] : options.environment) {
            if (value) ::setenv(name.c_str(), value->c_str(), 1);
            else ::unsetenv(name.c_str());
        }
        if (!options.workingDirectory.empty() && ::chdir(options.workingDirectory.c_str()) != 0) ::_exit(126);
        std::vector<char*> args;
        for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
        args.push_back(nullptr);
        ::execvp(args[0], args.data());
        ::_exit(127);
    }
    ::close(out.writeFd);
    ::close(err.writeFd);
    ::close(in[0]);
    if (!options.input.empty()) {
        const ssize_t ignored = ::write(in[1], options.input.data(), options.input.size());
        (void)ignored;
    }
    ::close(in[1]);

    ProcessResult result;
    pollfd fds[2] = {{out.readFd, POLLIN, 0}, {err.readFd, POLLIN, 0}};
    std::string* sinks[2] = {&result.out, &result.err};
    int open = 2;
    while (open > 0) {
        if (::poll(fds, 2, -1) < 0) break;
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || fds[i].revents == 0) continue;
            char buffer[4096];
            const ssize_t n = ::read(fds[i].fd, buffer, sizeof buffer);
            if (n > 0) {
                sinks[i]->append(buffer, static_cast<std::size_t>(n));
            } else {  // end of file, or EIO once a terminal's other side has closed
                ::close(fds[i].fd);
                fds[i].fd = -1;
                --open;
            }
        }
    }
    int status = 0;
    ::waitpid(pid, &status, 0);
    result.exitStatus = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return result;
}

}  // namespace lumetta::testing
