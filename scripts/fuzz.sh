#!/usr/bin/env bash
# Builds the IMAP intake fuzzer with clang and runs it for a bounded time, from
# a copy of tests/fuzz/corpus in a temporary folder.
#
#   scripts/fuzz.sh [seconds] [libFuzzer options...]    (default 60 seconds)
#
# Exits non-zero when the fuzzer finds anything (crash, sanitizer report,
# broken invariant, hang, memory blow-up); the input that did it is then kept
# in the temporary folder printed at the end. QD_FUZZ_BUILD names the build
# folder (default build-fuzz); QD_FUZZ_KEEP=1 keeps the folder after a clean run.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
seconds=${1:-60}
shift $(($# > 0 ? 1 : 0))
[[ $seconds =~ ^[0-9]+$ ]] || { echo "usage: $0 [seconds] [libFuzzer options...]" >&2; exit 2; }
build=${QD_FUZZ_BUILD:-$root/build-fuzz}

CC=clang CXX=clang++ cmake -S "$root" -B "$build" -DQD_FUZZ=ON -DQD_GUI=OFF -DQD_BENCH=OFF \
    -DQD_TESTS=ON >/dev/null
cmake --build "$build" --target qd_imap_intake_fuzz -j"$(nproc)"

work=$(mktemp -d /tmp/qd-fuzz-XXXXXX)
cp -r "$root/tests/fuzz/corpus" "$work/corpus"
mkdir "$work/artifacts"

# -timeout: one input must never take seconds; the outer timeout is a last
# resort should libFuzzer itself stall.
status=0
timeout --kill-after=30 $((seconds + 120)) \
    "$build/tests/fuzz/qd_imap_intake_fuzz" -max_len=4096 -timeout=10 \
    -dict="$root/tests/fuzz/imap.dict" -rss_limit_mb=2048 \
    -max_total_time="$seconds" -print_final_stats=1 -artifact_prefix="$work/artifacts/" \
    "$@" "$work/corpus" >"$work/fuzz.log" 2>&1 || status=$?
tail -n 40 "$work/fuzz.log"

if [[ $status -ne 0 ]] || [[ -n $(ls -A "$work/artifacts") ]]; then
    echo "fuzz: FOUND something (exit $status); log and inputs in $work" >&2
    for f in "$work"/artifacts/*; do
        [[ -e $f ]] || continue
        echo "$f:" >&2
        od -An -tx1 -v "$f" | tr -d ' \n' | fold -w 96 >&2
        echo >&2
    done
    exit 1
fi
echo "fuzz: nothing found in ${seconds}s"
if [[ ${QD_FUZZ_KEEP:-0} == 1 ]]; then
    echo "fuzz: corpus and log kept in $work"
else
    rm -rf "$work"
fi
