#!/usr/bin/env bash
# Configures and builds into build/ (warnings are errors).
set -euo pipefail
cd "$(dirname "$0")/.."
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTW_WERROR=ON
cmake --build build
