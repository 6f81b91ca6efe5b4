#!/usr/bin/env bash
# Builds the fuzz targets of the settings readers (host chunk, preset file) with clang, AddressSanitizer
# and UBSan, and runs each for a fixed number of inputs grown from its seed corpus. Any crash, sanitizer
# report or broken invariant stops the run with a non-zero status and the offending input.
set -euo pipefail
cd "$(dirname "$0")/.."
runs="${1:-50000}"

CC=clang CXX=clang++ cmake -S . -B build-fuzz -DCMAKE_BUILD_TYPE=Release -DTZ_FUZZ=ON -DTZ_BUILD_TESTS=OFF \
    -DTZ_BUILD_BENCH=OFF >/dev/null
cmake --build build-fuzz -j2 --target fuzz_state fuzz_preset

home="$PWD/build-fuzz/home"
mkdir -p "$home"
for target in state preset; do
    corpus="build-fuzz/corpus-$target"
    rm -rf "$corpus" && mkdir -p "$corpus"
    echo "fuzz_$target: $runs inputs"
    HOME="$home" "build-fuzz/fuzz_$target" -runs="$runs" -seed=1 -max_len=16384 -timeout=10 -print_final_stats=1 \
        -artifact_prefix="build-fuzz/crash-$target-" "$corpus" "tests/fuzz/corpus/$target"
done
