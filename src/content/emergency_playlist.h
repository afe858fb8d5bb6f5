#pragma once
// The playlist shown for an emergency alert that comes as text: one full-screen slide, a dark
// red background with the alert in large white letters. It lives only in memory: nothing is
// downloaded, written or activated for it.

#include <memory>
#include <string>

#include "content/playlist.h"

namespace lumetta {

// `directory` becomes the handle's directory (the server link passes the configuration base
// directory); `alertText` is shown exactly as given, also when empty.
std::unique_ptr<Playlist> buildEmergencyPlaylist(const std::string& directory, const std::string& alertText);

}  // namespace lumetta
