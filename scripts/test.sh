#!/usr/bin/env bash
# Sets everything up, builds the plug-in, the host, the tests and the benchmarks, and runs every test,
# then the ThreadSanitizer build of the threading test and the fuzz targets.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh
cmake -S . -B build-test -DCMAKE_BUILD_TYPE=Release
cmake --build build-test -j2 --target core_tests plugin_tests thread_tests tz_bench_core tz_bench_plugin
ctest --test-dir build-test --output-on-failure -j2
scripts/tsan.sh
scripts/fuzz.sh
