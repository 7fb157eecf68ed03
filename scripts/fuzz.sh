#!/usr/bin/env bash
# Builds the libFuzzer targets (fuzz/) with clang and runs each one for a
# bounded time from its committed seed corpus. Fails on the first crash, leak,
# time-out or sanitizer report; the input that caused it is left in
# <build-dir>/fuzz-artifacts/<target>/.
#
# Usage: scripts/fuzz.sh [build-dir] [seconds-per-target]
#   build-dir            default: build-fuzz
#   seconds-per-target   default: 60 (libFuzzer's -max_total_time)
# JOBS sets the build's parallelism (default: the number of processors).
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
dir="${1:-$root/build-fuzz}"
seconds="${2:-60}"
jobs="${JOBS:-$(nproc)}"
targets=(frame agent_line control_request program_identity bridge_line)

cmake -S "$root" -B "$dir" -G Ninja -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQUORVANE_BUILD_FUZZ=ON -DQUORVANE_BUILD_APP=OFF \
    -DQUORVANE_BUILD_TESTS=OFF >/dev/null
cmake --build "$dir" --parallel "$jobs" --target "${targets[@]/#/quorvane_fuzz_}"

export ASAN_OPTIONS="detect_leaks=1:abort_on_error=1:${ASAN_OPTIONS:-}"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1:${UBSAN_OPTIONS:-}"
# The engine target writes a ledger: in memory-backed /dev/shm when there is
# one (no disk syncs), else in the build folder.
if tmp="$(mktemp -d /dev/shm/quorvane-fuzz.XXXXXX 2>/dev/null)"; then
    trap 'rm -rf "$tmp"' EXIT
else
    tmp="$dir/fuzz-tmp"
    mkdir -p "$tmp"
fi
export TMPDIR="$tmp"

for target in "${targets[@]}"; do
    echo "== fuzz $target (${seconds} s)"
    # New inputs go to a working corpus in the build folder; the tree's seeds
    # stay as committed.
    work="$dir/fuzz-corpus/$target"
    artifacts="$dir/fuzz-artifacts/$target"
    mkdir -p "$work" "$artifacts"
    "$dir/fuzz/quorvane_fuzz_$target" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
        -print_final_stats=1 -artifact_prefix="$artifacts/" "$work" "$root/fuzz/corpus/$target"
done
echo "fuzz: no crash, leak or time-out in ${#targets[@]} targets"
