#!/usr/bin/env bash
# Builds the libFuzzer targets of tests/fuzz with clang (ASan + UBSan) and runs each one for a
# while, in a private network namespace with the fake device tools first on PATH, like the tests.
#   bash scripts/run-fuzz.sh [SECONDS_PER_TARGET] [TARGET_NAME_REGEX]
# As many targets run at once as the machine has cores (LUMETTA_FUZZ_JOBS to choose); each still
# gets its full time. A crash, leak or sanitizer report fails the run; the input that caused it is
# kept under build-fuzz/findings/<target>/.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
seconds="${1:-20}"
filter="${2:-.}"
build="$root/build-fuzz"
jobs="${LUMETTA_FUZZ_JOBS:-$(nproc)}"

CC=clang CXX=clang++ cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DLUMETTA_FUZZ=ON -DLUMETTA_BUILD_TESTS=OFF -DLUMETTA_BUILD_BENCH=OFF >/dev/null
cmake --build "$build" -j "$jobs" --target lumetta_fuzz_targets

export PATH="$root/tests/fakes/bin:$PATH"
export SDL_VIDEO_DRIVER=offscreen SDL_RENDER_DRIVER=software SDL_AUDIO_DRIVER=dummy
export ASAN_OPTIONS="detect_leaks=1:abort_on_error=0"
export LSAN_OPTIONS="suppressions=$root/tests/lsan.supp:print_suppressions=0"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
scratch="$(mktemp -d /tmp/lumetta-fuzz.XXXXXX)"
trap 'rm -rf "$scratch"' EXIT
export HOME="$scratch/home" TMPDIR="$scratch/tmp"
mkdir -p "$HOME" "$TMPDIR"

# One target's run: its status lands in $scratch/<name>.status, its output in $scratch/<name>.log.
fuzz_one() {
    local target="$1" name corpus findings
    name="$(basename "$target")"
    corpus="$scratch/corpus/$name"
    findings="$build/findings/$name"
    mkdir -p "$corpus" "$findings"
    local seeds=()
    [ -d "$root/tests/fuzz/corpus/$name" ] && seeds+=("$root/tests/fuzz/corpus/$name")
    local status=0
    unshare --net -- bash -c 'ip link set lo up; exec "$@"' _ "$target" \
        -max_total_time="$seconds" -timeout=25 -rss_limit_mb=2560 -print_final_stats=1 \
        -artifact_prefix="$findings/" "$corpus" "${seeds[@]}" >"$scratch/$name.log" 2>&1 || status=$?
    echo "$status" >"$scratch/$name.status"
}

targets=()
for target in $(find "$build/tests/fuzz" -maxdepth 1 -type f -name '*_fuzz' -perm -u+x | sort); do
    [[ "$(basename "$target")" =~ $filter ]] && targets+=("$target")
done

running=0
for target in "${targets[@]}"; do
    echo "[FUZZ] $(basename "$target") for ${seconds} s"
    fuzz_one "$target" &
    running=$((running + 1))
    if [ "$running" -ge "$jobs" ]; then
        wait -n || true
        running=$((running - 1))
    fi
done
wait || true

status=0
for target in "${targets[@]}"; do
    name="$(basename "$target")"
    if [ "$(cat "$scratch/$name.status" 2>/dev/null || echo 1)" != 0 ]; then
        echo "[FUZZ] $name FAILED; its input is under $build/findings/$name" >&2
        tail -n 60 "$scratch/$name.log" >&2
        status=1
    else
        grep -E "stat::number_of_executed_units|stat::peak_rss_mb" "$scratch/$name.log" | sed "s/^/[FUZZ] $name /"
    fi
done
exit $status
