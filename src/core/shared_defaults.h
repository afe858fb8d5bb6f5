#pragma once
// Constant strings that name the product, the service endpoint, the URL schemes, the group
// broadcast address, the playlist store's file names and the fonts directory.
//
// Built on first use (so a file may read them in its own static initialisation) and never
// changed afterwards.

#include <string>
#include <vector>

namespace lumetta {

struct SharedDefaults {
    std::string webSocketScheme;
    std::string httpScheme;
    std::string serviceHost;       // the build's default, or LUMETTA_SERVICE_HOST when set
    std::string broadcastAddress;  // group slide sync: the limited broadcast, whatever the LAN's subnet
    std::string playingFileName;
    std::string playlistFileName;
    std::string programDirectoryName;
    std::string productLabel;
    std::string fontsDirectory;
};

const SharedDefaults& sharedDefaults();

// The first candidate that is a directory (links followed), else "/usr/share/lumetta/fonts".
std::string chooseFontsDirectory(const std::vector<std::string>& candidates);
const std::vector<std::string>& fontsDirectoryCandidates();

}  // namespace lumetta
