#pragma once
// Runs a program and collects what it wrote, optionally with standard output and/or
// standard error on a pseudo-terminal.

#include <map>
#include <optional>
#include <string>
#include <vector>

namespace lumetta::testing {

struct ProcessResult {
    int exitStatus = -1;  // exit code, or 128 + signal
    std::string out;
    std::string err;
};

struct ProcessOptions {
    std::map<std::string, std::optional<std::string>> environment;  // nullopt removes a variable
    bool stdoutTerminal = false;
    bool stderrTerminal = false;
    std::string workingDirectory;
    std::string input;
};

ProcessResult runProcess(const std::vector<std::string>& argv, const ProcessOptions& options = {});

}  // namespace lumetta::testing
