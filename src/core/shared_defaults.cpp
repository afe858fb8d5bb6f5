#include "core/shared_defaults.h"

#include <sys/stat.h>

#include <cstdlib>

namespace lumetta {

const std::vector<std::string>& fontsDirectoryCandidates() {
    static const std::vector<std::string> candidates = {"/usr/share/lumetta/fonts", "assets/fonts",
                                                        "/usr/share/fonts/ttf"};
    return candidates;
}

std::string chooseFontsDirectory(const std::vector<std::string>& candidates) {
    for (const auto& candidate : candidates) {
        struct stat info {};
        // stat follows symbolic links; a candidate whose status cannot be read is passed over.
        if (::stat(candidate.c_str(), &info) == 0 && S_ISDIR(info.st_mode)) return candidate;
    }
    return "/usr/share/lumetta/fonts";
}

const SharedDefaults& sharedDefaults() {
    static const SharedDefaults defaults = [] {
        const char* hostOverride = std::getenv("LUMETTA_SERVICE_HOST");
        return SharedDefaults{
            "wss",
            "https",
            (hostOverride != nullptr && *hostOverride != '\0') ? hostOverride : LUMETTA_DEFAULT_SERVICE_HOST,
            "255.255.255.255",
            "playing.json",
            "playlist.json",
            "lumetta",
            "QUORVELA",
            chooseFontsDirectory(fontsDirectoryCandidates()),
        };
    }();
    return defaults;
}

}  // namespace lumetta
