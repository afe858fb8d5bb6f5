#pragma once
// A fresh temporary directory, removed with everything in it when the object goes.

#include <filesystem>
#include <string>

namespace lumetta::testing {

class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::filesystem::path& path() const { return path_; }
    std::string str() const { return path_.string(); }
    std::filesystem::path operator/(const std::string& name) const { return path_ / name; }

private:
    std::filesystem::path path_;
};

// Writes a file (creating its parent directories) and returns its path.
std::filesystem::path writeTestFile(const std::filesystem::path& path, const std::string& content);

}  // namespace lumetta::testing
