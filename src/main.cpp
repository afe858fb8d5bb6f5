#include <iostream>
#include <string_view>

#include "core/build_info.h"
#include "core/palette.h"

int main(int argc, char** argv) {
    using namespace lumetta;
    if (argc == 2 && std::string_view(argv[1]) == "--show-git-hash") {
        std::cout << buildCommitHash() << std::endl;
        return 255;
    }
    std::cout << "Usage: lumetta [--help | --show-git-hash]" << std::endl;
    return 255;
}
