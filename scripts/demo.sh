#!/usr/bin/env bash
# Sets everything up, builds the plug-in in release mode, installs the VST3 into ~/.vst3 and renders the
# built-in demo through the installed bundle.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh
cmake -S . -B build-release -DCMAKE_BUILD_TYPE=Release -DTZ_COPY_PLUGIN=ON -DTZ_BUILD_TESTS=OFF -DTZ_BUILD_BENCH=OFF
cmake --build build-release -j2 --target TZStrip_VST3 tzstrip

bundle="$HOME/.vst3/OMVI Audio Ondrel Channel.vst3"
mkdir -p out
build-release/tools/tzstrip_artefacts/Release/tzstrip render "$bundle" out/demo.wav
echo "Installed: $bundle"
echo "Demo rendered to: $(pwd)/out/demo.wav"
