#pragma once
// A run whose first argument names a playlist package (`<playlist.zip> [--check | --capture
// directory [--motion-demo]]`) is handed here whole; the result is the exit status.

namespace lumetta {

int runLocalPlaylistPackage(int argc, char** argv);

}  // namespace lumetta
