#!/usr/bin/env bash
# Runs the test suite of one build directory the safe way:
#  - fake device tools first on PATH (a real reboot must never run),
#  - a private network namespace with only loopback, so no packet leaves the machine,
#  - HOME and TMPDIR in a scratch directory, removed after the run (the run's status is kept).
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build="${1:?usage: run-tests.sh BUILD_DIR [ctest arguments...]}"
shift
build="$(cd "$build" && pwd)"

fakes="$root/tests/fakes/bin"
export PATH="$fakes:$PATH"
for tool in reboot systemctl wpa_cli bluetoothctl setxkbmap loadkeys revision; do
    if [ "$(command -v "$tool")" != "$fakes/$tool" ]; then
        echo "[TESTS] refusing to run: '$tool' does not resolve to the fake in $fakes" >&2
        exit 1
    fi
done

scratch="$(mktemp -d /tmp/lumetta-tests.XXXXXX)"
# An interrupted run may leave a test's child writing there for a moment: a second try.
trap 'rm -rf "$scratch" 2>/dev/null || { sleep 1; rm -rf "$scratch"; }' EXIT
# An interrupted run cleans up too (bash runs the exit trap only on its own exit).
trap 'exit 130' INT
trap 'exit 143' TERM
export LUMETTA_FAKE_LOG="$scratch/fake-tools.log"
export HOME="$scratch/home"
export TMPDIR="$scratch/tmp"
mkdir -p "$HOME" "$TMPDIR"
export LUMETTA_SERVICE_HOST="${LUMETTA_SERVICE_HOST:-127.0.0.1:9}"
export SDL_VIDEO_DRIVER=offscreen SDL_RENDER_DRIVER=software SDL_AUDIO_DRIVER=dummy
export ASAN_OPTIONS="${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=0}"
export LSAN_OPTIONS="${LSAN_OPTIONS:-suppressions=$root/tests/lsan.supp:print_suppressions=0}"
export UBSAN_OPTIONS="${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}"
export TSAN_OPTIONS="${TSAN_OPTIONS:-halt_on_error=1:second_deadlock_stack=1:suppressions=$root/tests/tsan.supp}"
# Most whole-program tests spend their time waiting on the player (its splash alone holds about
# 10 s), so a small machine runs at least four at once; their bounds allow for the shared cores.
jobs="${LUMETTA_TEST_JOBS:-$(nproc)}"
[ -n "${LUMETTA_TEST_JOBS:-}" ] || [ "$jobs" -ge 4 ] || jobs=4

status=0
unshare --net -- bash -c '
    set -e
    ip link set lo up
    cd "$1"; shift
    exec ctest --output-on-failure -j "$0" "$@"
' "$jobs" "$build" "$@" || status=$?
exit "$status"
