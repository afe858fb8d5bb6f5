#pragma once
// While it lives, this process's own standard output and standard error go to files, so a test
// can tell what reached the terminal (for example while a child process runs).

#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>

#include "support/temp_dir.h"

namespace lumetta::testing {

class OwnStreamsToFiles {
public:
    OwnStreamsToFiles() {
        std::fflush(nullptr);
        savedOut_ = ::dup(1);
        savedErr_ = ::dup(2);
        out_ = std::fopen((dir_ / "out").c_str(), "w");
        err_ = std::fopen((dir_ / "err").c_str(), "w");
        ::dup2(::fileno(out_), 1);
        ::dup2(::fileno(err_), 2);
    }
    ~OwnStreamsToFiles() { restore(); }
    OwnStreamsToFiles(const OwnStreamsToFiles&) = delete;
    OwnStreamsToFiles& operator=(const OwnStreamsToFiles&) = delete;

    // Puts the streams back (once; later calls do nothing).
    void restore() {
        if (savedOut_ < 0) return;
        std::fflush(nullptr);
        ::dup2(savedOut_, 1);
        ::dup2(savedErr_, 2);
        ::close(savedOut_);
        ::close(savedErr_);
        std::fclose(out_);
        std::fclose(err_);
        savedOut_ = savedErr_ = -1;
    }

    // What reached standard output, standard error; read after restore().
    std::string out() const { return read("out"); }
    std::string err() const { return read("err"); }

    // Puts the streams back and returns what reached them, standard output first.
    std::string restoreAndRead() {
        restore();
        return out() + err();
    }

private:
    std::string read(const char* name) const {
        std::ifstream in(dir_ / name);
        std::stringstream text;
        text << in.rdbuf();
        return text.str();
    }

    TempDir dir_;
    int savedOut_ = -1;
    int savedErr_ = -1;
    std::FILE* out_ = nullptr;
    std::FILE* err_ = nullptr;
};

}  // namespace lumetta::testing
