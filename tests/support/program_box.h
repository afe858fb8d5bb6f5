#pragma once
// Whole-program runs happen in a private mount namespace that covers /home, /run, /tmp or
// /var/lib with file systems of its own, and the checkout (the program, its assets) may lie under
// any of them. Bound beforehand onto places outside what gets covered, they stay reachable.

#include <string>

namespace lumetta::testing {

// Defines `keep_reachable PATH PLACE` for sh: makes PLACE (a directory when PATH is one, an
// empty file otherwise) and binds PATH onto it; its status is 0 when that worked. Called before
// anything is covered, with PLACE outside what will be.
inline std::string keepReachableFunction() {
    return "keep_reachable() {\n"
           "  if [ -d \"$1\" ]; then mkdir \"$2\"; else : > \"$2\"; fi && mount --bind \"$1\" \"$2\"\n"
           "}\n";
}

// The start of a script run as `sh -c SCRIPT sh PLACE PROGRAM ARGUMENTS...` in a private mount
// namespace, PLACE an empty directory outside what the script covers: binds PROGRAM into PLACE
// (exit status 99 when it cannot), then leaves the program's new path as "$1" and the
// ARGUMENTS after it. The working directory stays reachable anyway.
inline std::string keepProgramReachable() {
    return keepReachableFunction() +
           "keep_reachable \"$2\" \"$1/program\" || exit 99\n"
           "place=$1; shift 2; set -- \"$place/program\" \"$@\"\n";
}

// For sh, in the run's private mount namespace: binds /dev/null over every /dev/cec*, so the
// program's remote-control listener finds no adapter and no run reaches a real television.
// Exit status 99 when one cannot be covered.
inline std::string coverCecDevices() {
    return "for device in /dev/cec*; do\n"
           "  if [ -e \"$device\" ]; then mount --bind /dev/null \"$device\" || exit 99; fi\n"
           "done\n";
}

}  // namespace lumetta::testing
