#include "support/process_hygiene.h"

#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>

namespace lumetta::testing {

namespace fs = std::filesystem;

namespace {

std::set<int> openDescriptors() {
    std::set<int> fds;
    std::error_code error;
    for (const auto& entry : fs::directory_iterator("/proc/self/fd", error)) {
        try {
            fds.insert(std::stoi(entry.path().filename().string()));
        } catch (...) {
        }
    }
    return fds;
}

}  // namespace

ProcessHygiene::ProcessHygiene() : descriptors_(openDescriptors()) {}

std::string ProcessHygiene::leftovers() const {
    std::ostringstream report;
    const std::set<int> now = openDescriptors();
    for (int fd : now) {
        if (descriptors_.count(fd) != 0) continue;
        std::error_code error;
        const fs::path target = fs::read_symlink("/proc/self/fd/" + std::to_string(fd), error);
        // The directory listing itself had a descriptor open while it was read.
        if (error) continue;
        report << "descriptor " << fd << " -> " << target.string() << "\n";
    }
    const std::string self = std::to_string(::getpid());
    std::error_code error;
    for (const auto& entry : fs::directory_iterator("/proc", error)) {
        const std::string name = entry.path().filename().string();
        if (name.find_first_not_of("0123456789") != std::string::npos) continue;
        std::ifstream in(entry.path() / "stat");
        std::string stat;
        std::getline(in, stat);
        // pid (comm) state ppid ...: the name may hold spaces and brackets, so read after the last ')'.
        const std::size_t close = stat.rfind(')');
        if (close == std::string::npos) continue;
        std::istringstream rest(stat.substr(close + 1));
        std::string state;
        std::string ppid;
        rest >> state >> ppid;
        if (ppid == self) report << "child " << name << " " << stat.substr(0, close + 1) << " state " << state << "\n";
    }
    return report.str();
}

}  // namespace lumetta::testing
