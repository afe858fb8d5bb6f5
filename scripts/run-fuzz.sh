#!/usr/bin/env bash
# Builds the libFuzzer targets of tests/fuzz with clang (ASan + UBSan) and runs each one for a
# while, in a private network namespace with the fake device tools first on PATH, like the tests.
#   bash scripts/run-fuzz.sh [SECONDS_PER_TARGET] [TARGET_NAME_REGEX]
# A crash, leak or sanitizer report fails the run; the input that caused it is kept under
# build-fuzz/findings/<target>/.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
seconds="${1:-20}"
filter="${2:-.}"
build="$root/build-fuzz"

CC=clang CXX=clang++ cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DLUMETTA_FUZZ=ON -DLUMETTA_BUILD_TESTS=OFF -DLUMETTA_BUILD_BENCH=OFF >/dev/null
cmake --build "$build" -j "${LUMETTA_FUZZ_JOBS:-$(nproc)}"

export PATH="$root/tests/fakes/bin:$PATH"
export SDL_VIDEO_DRIVER=offscreen SDL_RENDER_DRIVER=software SDL_AUDIO_DRIVER=dummy
export ASAN_OPTIONS="detect_leaks=1:abort_on_error=0"
export LSAN_OPTIONS="suppressions=$root/tests/lsan.supp:print_suppressions=0"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
scratch="$(mktemp -d /tmp/lumetta-fuzz.XXXXXX)"
trap 'rm -rf "$scratch"' EXIT
export HOME="$scratch/home" TMPDIR="$scratch/tmp"
mkdir -p "$HOME" "$TMPDIR"

status=0
for target in $(find "$build/tests/fuzz" -maxdepth 1 -type f -name '*_fuzz' -perm -u+x | sort); do
    name="$(basename "$target")"
    [[ "$name" =~ $filter ]] || continue
    corpus="$scratch/corpus/$name"
    findings="$build/findings/$name"
    mkdir -p "$corpus" "$findings"
    seeds=()
    [ -d "$root/tests/fuzz/corpus/$name" ] && seeds+=("$root/tests/fuzz/corpus/$name")
    echo "[FUZZ] $name for ${seconds} s"
    if ! unshare --net -- bash -c 'ip link set lo up; exec "$@"' _ "$target" \
            -max_total_time="$seconds" -timeout=25 -rss_limit_mb=2560 -print_final_stats=1 \
            -artifact_prefix="$findings/" "$corpus" "${seeds[@]}" >"$scratch/$name.log" 2>&1; then
        echo "[FUZZ] $name FAILED; its input is under $findings" >&2
        tail -n 60 "$scratch/$name.log" >&2
        status=1
    else
        grep -E "stat::number_of_executed_units|stat::peak_rss_mb" "$scratch/$name.log" | sed "s/^/[FUZZ] $name /"
    fi
done
exit $status
