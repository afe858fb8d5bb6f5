// Runs one media download, for tests that give it a file system of their choosing.
//   media_request_probe <url> <target>
// Prints "result 1|0" and "part 1|0" (whether the partial file exists afterwards); the failure
// lines go to standard error.
#include <filesystem>
#include <iostream>

#include "content/media_request.h"

int main(int argc, char** argv) {
    if (argc != 3) return 2;
    const bool ok = lumetta::downloadFile(argv[1], argv[2]);
    std::error_code error;
    const bool part = std::filesystem::exists(lumetta::partialDownloadPath(argv[2]), error);
    std::cout << "result " << (ok ? 1 : 0) << "\npart " << (part ? 1 : 0) << std::endl;
    return 0;
}
