#!/usr/bin/env bash
# Installs what is needed, builds and runs every test: the normal build and its
# Debian packages (scripts/check-packages.sh), the same tests under
# AddressSanitizer + UndefinedBehaviorSanitizer, and a bounded fuzzing run of
# the reply intake and of the files the program reads, then the Windows build
# and its tests under Wine.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh --tests
jobs=$(nproc)

# Unity builds: a third of the compile time on two cores. The
# developers' builds (scripts/run.sh, a plain cmake) compile file by file, so
# a missing include still shows there.
run_suite() {
    local dir=$1
    shift
    cmake -S . -B "$dir" -DCMAKE_UNITY_BUILD=ON "$@" >/dev/null
    cmake --build "$dir" -j"$jobs"
    # Twice the cores: most tests wait on a server's pace, not on the CPU.
    (cd "$dir" && ctest --output-on-failure -j$((jobs * 2)) --timeout 120)
    # The end-to-end runs start a private Dovecot each; show that they did.
    grep -h "^dovecot: started" "$dir"/Testing/Temporary/LastTest.log || true
}

echo "== tests"
# Line tables only (-g1): backtraces and the sanitizers' reports still name
# file and line, and the builds take a third less time than with full -g.
# The benchmarks are built where they are run (a plain build, bench/): none
# runs here.
run_suite build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O2 -g1 -DNDEBUG" \
    -DQD_BENCH=OFF
echo "== the Debian packages"
bash scripts/check-packages.sh build
echo "== tests under AddressSanitizer and UndefinedBehaviorSanitizer"
run_suite build-asan -DCMAKE_BUILD_TYPE=Debug -DCMAKE_CXX_FLAGS_DEBUG=-g1 -DQD_SANITIZE=ON \
    -DQD_BENCH=OFF
if [ -f scripts/fuzz.sh ]; then
    echo "== fuzzing the reply intake and the files"
    bash scripts/fuzz.sh "${QD_FUZZ_SECONDS:-40}"
fi
if [ "${QD_WINDOWS:-1}" = 1 ]; then
    echo "== the Windows build under Wine (QD_WINDOWS=0 leaves it out)"
    bash scripts/test-windows.sh
fi
echo "== all tests passed"
