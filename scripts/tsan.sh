#!/usr/bin/env bash
# Builds the state-threading test with ThreadSanitizer and runs it: a host thread saving and restoring
# the strip while the audio thread plays. Any data race report fails the run.
set -euo pipefail
cd "$(dirname "$0")/.."

cmake -S . -B build-tsan -DCMAKE_BUILD_TYPE=Release -DTZ_TSAN=ON -DTZ_BUILD_BENCH=OFF >/dev/null
cmake --build build-tsan -j2 --target thread_tests
mkdir -p build-tsan/test-home
HOME="$PWD/build-tsan/test-home" TSAN_OPTIONS="halt_on_error=1 exitcode=66" build-tsan/tests/thread_tests
