#pragma once
// A shell function for whole-program runs that stop the player the way a service manager does.

#include <string>

namespace lumetta::testing {

// Defines `run_until_term PID [FILE]` for sh: waits until the process catches SIGTERM (the
// player then turns it into its orderly stop) and, when FILE is given, until FILE exists; sends
// SIGTERM; waits at most 20 s more before a SIGKILL. Its status is the process's. The first wait
// ends after 60 s: a FILE the first slide writes comes after the start-up splash (10 s), and a
// loaded machine may start a sanitizer build slowly.
inline std::string runUntilTermFunction() {
    return "run_until_term() {\n"
           "  pid=$1; ready=$2; i=0\n"
           "  while [ $i -lt 600 ]; do\n"
           "    grep -q '^State:[[:space:]]*Z' /proc/$pid/status 2>/dev/null && break\n"
           "    cgt=$(sed -n 's/^SigCgt:[[:space:]]*//p' /proc/$pid/status 2>/dev/null)\n"
           "    [ -z \"$cgt\" ] && break\n"
           "    low=$(printf '%s' \"$cgt\" | cut -c13-16)\n"
           "    if [ $(( 0x$low & 0x4000 )) -ne 0 ] && { [ -z \"$ready\" ] || [ -e \"$ready\" ]; }; then break; fi\n"
           "    sleep 0.1; i=$((i+1))\n"
           "  done\n"
           "  kill -TERM $pid 2>/dev/null\n"
           "  j=0; while kill -0 $pid 2>/dev/null && [ $j -lt 200 ]; do\n"
           "    grep -q '^State:[[:space:]]*Z' /proc/$pid/status 2>/dev/null && break\n"
           "    sleep 0.1; j=$((j+1))\n"
           "  done\n"
           "  [ $j -ge 200 ] && kill -KILL $pid\n"
           "  wait $pid\n"
           "}\n";
}

}  // namespace lumetta::testing
