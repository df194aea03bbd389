#!/usr/bin/env bash
# Installs what is missing, builds, and runs the whole test suite twice: as built normally, then
# built with AddressSanitizer and UndefinedBehaviorSanitizer (clang, in build-asan/), where every
# fuzzer also replays its committed corpus. Last, ThreadSanitizer (clang, in build-tsan/) watches
# the runs with several workers; only the targets those tests need are built there. Extra
# arguments go to every ctest run.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/build.sh
status=0
(cd build && ctest --output-on-failure -j"$(nproc)" "$@") || status=1

if [ ! -f build-asan/CMakeCache.txt ]; then
    CXX=clang++ cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=RelWithDebInfo \
        -DCARTALUZ_SANITIZE=ON -DCARTALUZ_FUZZ=ON
fi
cmake --build build-asan -j"$(nproc)"
(cd build-asan && ctest --output-on-failure -j"$(nproc)" "$@") || status=1

if [ ! -f build-tsan/CMakeCache.txt ]; then
    CXX=clang++ cmake -S . -B build-tsan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCARTALUZ_TSAN=ON
fi
cmake --build build-tsan -j"$(nproc)" --target cartaluz-lote tst_lote tst_lotestress
(cd build-tsan && ctest --output-on-failure -j"$(nproc)" "$@") || status=1
exit $status
