#!/usr/bin/env bash
# Builds the fuzzers with clang and runs the two side by side (a fuzzer uses
# one core) for a bounded time each (default 40 s): the reply intake (from a
# copy of tests/fuzz/corpus) and the files the program reads (from a copy of
# tests/fuzz/corpus-files):
#
#   scripts/fuzz.sh [seconds] [libFuzzer options...]
#
# Exits non-zero when anything was found (crash, sanitizer report, broken
# invariant, hang, memory blow-up); the inputs are kept and printed as hex.
# QD_FUZZ_BUILD names the build folder (default build-fuzz).
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
seconds=${1:-40}
shift $(($# > 0 ? 1 : 0))
[[ $seconds =~ ^[0-9]+$ ]] || { echo "usage: $0 [seconds] [libFuzzer options...]" >&2; exit 2; }
build=${QD_FUZZ_BUILD:-$root/build-fuzz}

CC=clang CXX=clang++ cmake -S "$root" -B "$build" -DQD_FUZZ=ON -DQD_GUI=OFF -DQD_BENCH=OFF \
    -DCMAKE_UNITY_BUILD=ON >/dev/null
cmake --build "$build" --target qd_imap_intake_fuzz qd_files_fuzz -j"$(nproc)"

work=$(mktemp -d /tmp/qd-fuzz-XXXXXX)
cp -r "$root/tests/fuzz/corpus" "$work/corpus"
cp -r "$root/tests/fuzz/corpus-files" "$work/files"
status=0
run() {  # target corpus
    "$build/tests/fuzz/$1" -max_len=4096 -timeout=10 -rss_limit_mb=2048 -max_total_time="$seconds" \
        -print_final_stats=1 -artifact_prefix="$work/$1-" "${extra[@]}" "$2" >"$work/$1.log" 2>&1
}
extra=("$@")
run qd_imap_intake_fuzz "$work/corpus" & intake=$!
run qd_files_fuzz "$work/files" & files=$!
wait $intake || status=$?
wait $files || status=$?
tail -n 12 "$work/qd_imap_intake_fuzz.log" "$work/qd_files_fuzz.log"

found=$(find "$work" -maxdepth 1 -type f ! -name '*.log')
if [[ $status -ne 0 || -n $found ]]; then
    echo "fuzz: FOUND something (exit $status); log and inputs in $work" >&2
    for f in $found; do
        echo "$f: $(od -An -tx1 -v "$f" | tr -d ' \n')" >&2
    done
    exit 1
fi
echo "fuzz: nothing found in ${seconds}s each"
rm -rf "$work"
